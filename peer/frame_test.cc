#include "peer/frame.h"

#include <string>

#include "gtest/gtest.h"

namespace peer {
namespace {

TEST(PeerFrame, BuildsHelloAndEndOfSessionByteForByte) {
  const Bytes hello = Frame(kMsgHello, HelloPayload(kIdentification));
  Bytes expected{0x80, 0x00, 0x17, 0x10, 0x00, 0x08, 0x00, 0x46, 0x00, 0x10};
  expected.insert(expected.end(), kIdentification.begin(), kIdentification.end());
  EXPECT_EQ(hello, expected);

  EXPECT_EQ(Frame(kMsgHello, HelloPayload("", 0x11, 2047)),
            (Bytes{0x80, 0x00, 0x07, 0x11, 0x00, 0x07, 0xFF}));
  EXPECT_EQ(Frame(kMsgEndSession, EndSessionPayload(true)),
            (Bytes{0x81, 0x00, 0x07, 0x49, 0x00, 0x04, 0x01}));
  EXPECT_EQ(Frame(kMsgEndSession, EndSessionPayload(false)),
            (Bytes{0x81, 0x00, 0x07, 0x49, 0x00, 0x04, 0x00}));
}

TEST(PeerFrame, FindItemStopsAtItemsThatDoNotFit) {
  struct Case {
    const char* name;
    Bytes run;
    std::optional<Bytes> payload;
  };
  const Case cases[] = {
      {"empty", {}, std::nullopt},
      {"second item", {0x01, 0x00, 0x04, 0x09, 0x49, 0x00, 0x05, 0x07, 0x08}, Bytes{0x07, 0x08}},
      {"empty payload", {0x49, 0x00, 0x03}, Bytes{}},
      {"length under 3", {0x01, 0x00, 0x02, 0x49, 0x00, 0x03}, std::nullopt},
      {"length past the run", {0x49, 0x00, 0x09, 0x01}, std::nullopt},
      {"header cut short", {0x49, 0x00}, std::nullopt},
  };
  for (const Case& c : cases) {
    auto found = FindItem(c.run, kTagInfo);
    ASSERT_EQ(found.has_value(), c.payload.has_value()) << "case " << c.name;
    if (found) {
      EXPECT_EQ(Bytes(found->begin(), found->end()), *c.payload) << "case " << c.name;
    }
  }
}

}  // namespace
}  // namespace peer
