#include "server/peer_allow_list.h"

#include <gtest/gtest.h>

#include "platform/winsock.h"

namespace {

DWORD Address(const char* text) {
  uint32_t network = 0;
  EXPECT_EQ(winsock::inet_pton(winsock::AF_INET, text, &network), 1) << text;
  return winsock::ntohl(network);
}

TEST(PeerAllowListTest, AddressesAndRangesAdmitTheirPeersOnly) {
  struct Case {
    const char* list;
    const char* peer;
    bool allowed;
  } cases[] = {
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.2", false},
      {"192.168.1.0/24", "192.168.1.77", true},
      {"192.168.1.0/24", "192.168.2.1", false},
      {"192.168.1.5/24", "192.168.1.200", true},  // host bits ignored
      {"10.0.0.0/8, 127.0.0.1", "127.0.0.1", true},
      {" 10.0.0.0/8 ,127.0.0.1 ", "10.200.3.4", true},
      {"10.0.0.0/8,127.0.0.1", "11.0.0.1", false},
      {"0.0.0.0/0", "203.0.113.9", true},
      {"203.0.113.9/32", "203.0.113.9", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " / " + c.peer);
    PeerAllowList list;
    std::string error;
    ASSERT_TRUE(PeerAllowList::Parse(c.list, &list, &error)) << error;
    EXPECT_EQ(list.Allows(Address(c.peer)), c.allowed);
  }
  EXPECT_TRUE(PeerAllowList().Allows(Address("198.51.100.1"))) << "no list: every peer";
}

TEST(PeerAllowListTest, MalformedListsAreRefusedNamingTheEntry) {
  struct Case {
    const char* list;
    const char* named;
  } cases[] = {
      {"", "an empty entry"},         {"127.0.0.1,", "an empty entry"},
      {"localhost", "\"localhost\""}, {"10.0.0.0/33", "\"10.0.0.0/33\""},
      {"10.0.0.0/", "\"10.0.0.0/\""}, {"10.0.0.0/-1", "\"10.0.0.0/-1\""},
      {"1.2.3", "\"1.2.3\""},         {"127.0.0.1 10.0.0.1", "\"127.0.0.1 10.0.0.1\""},
      {"::1", "\"::1\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    PeerAllowList list;
    std::string error;
    ASSERT_TRUE(PeerAllowList::Parse("127.0.0.1", &list, &error));
    EXPECT_FALSE(PeerAllowList::Parse(c.list, &list, &error));
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
    EXPECT_FALSE(list.Allows(Address("10.0.0.1"))) << "the list is left as it was";
  }
}

TEST(PeerAllowListTest, DescribeNamesTheEntries) {
  PeerAllowList list;
  std::string error;
  ASSERT_TRUE(PeerAllowList::Parse("10.1.2.3/8, 127.0.0.1", &list, &error));
  EXPECT_EQ(list.Describe(), "10.0.0.0/8, 127.0.0.1");
  EXPECT_EQ(PeerAllowList().Describe(), "every peer");
}

}  // namespace
