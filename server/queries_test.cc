// Queries over loopback: the sync-state table, the time-zone and free-space
// answers, malformed and refused queries.
#include "server/queries.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/device.h"
#include "platform/fault.h"
#include "platform/system_info.h"
#include "server/loopback_fixture.h"

namespace {

using hmtest::Be32;
using hmtest::Bytes;
using hmtest::Cat;
using hmtest::Head;
using hmtest::Slice;

const Bytes kBadRequest{0xC0, 0x00, 0x03};
const Bytes kRefused{0xD3, 0x00, 0x03};

Bytes Le64(uint64_t v) {
  Bytes out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
  return out;
}

class QueriesTest : public hmtest::LoopbackServerTest {};

TEST_F(QueriesTest, SyncStateAnswersByStateAndSyncTime) {
  SayHello();
  struct Case {
    const char* name;
    DWORD state;
    DWORD syncTime;
    DWORD peerTime;
    BYTE answer;
  };
  const Case cases[] = {
      {"tracking, peer time before the sync time", 1, 1000, 999, 2},
      {"tracking, peer time at the sync time", 1, 1000, 1000, 0},
      {"tracking, compared unsigned", 1, 1000, 0xFFFFFFFF, 0},
      {"lost", 2, 0, 5000, 2},
      {"none", 0, 0, 5000, 1},
      {"a value other than 0 to 2", 7, 0, 5000, 1},
  };
  for (const Case& c : cases) {
    SetState(25, c.state, c.syncTime);
    EXPECT_EQ(Query(4, 1, c.peerTime), Bytes({0xA0, 0x00, 0x08, 0x49, 0x00, 0x05, 0x04, c.answer}))
        << "case " << c.name;
  }
  EXPECT_EQ(Query(4, 3, 5000), Bytes({0xA0, 0x00, 0x08, 0x49, 0x00, 0x05, 0x04, 0x01}))
      << "nothing stored";
  EXPECT_EQ(session_.dwClass, 291u);
  EXPECT_EQ(session_.dwSinceTime, 5000u);
}

TEST_F(QueriesTest, MalformedQueriesAreRefusedAsBadRequests) {
  SayHello();
  struct Case {
    const char* name;
    Bytes payload;
  };
  const Case cases[] = {
      {"class index 5", InfoItem({4, 5, 0, 0, 0, 0})},
      {"class index 5 in a change query", InfoItem({5, 5, 0, 0, 0, 0})},
      {"item of length 8, even for the time zone", InfoItem({8, 0, 0, 0, 0})},
      {"unknown sub-code", InfoItem({6, 0, 0, 0, 0, 0})},
      {"no I item", peer::Item(0x01, Bytes{4, 0, 0, 0, 0, 0})},
      {"empty payload", {}},
      {"item length past the payload", {0x49, 0x00, 0x20, 4, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Exchange(MSG_QUERY, c.payload), kBadRequest) << "case " << c.name;
  }
  EXPECT_EQ(session_.dwState, SessionStateOpen);
}

TEST_F(QueriesTest, QueriesOutsideAnOpenSessionAreRefused) {
  EXPECT_EQ(Query(4), kRefused) << "before hello";
  EXPECT_EQ(Query(8), kRefused) << "before hello";
  SayHello();
  ASSERT_EQ(peer_.EndSession(false), 0xA0);
  EXPECT_EQ(Query(5), kRefused) << "after end of session";
}

TEST_F(QueriesTest, TimeZoneIsTheDevicesStructureIn178Bytes) {
  SayHello();
  ASSERT_TRUE(platform::SetDeviceSetting("timezone", "Europe/Berlin").ok());
  TIME_ZONE_INFORMATION tz;
  std::memset(&tz, 0, sizeof tz);
  GetTimeZoneInformation(&tz);
  Bytes reply = Query(8);
  ASSERT_EQ(reply.size(), 178u);
  EXPECT_EQ(Head(reply, 6), Bytes({0xA0, 0x00, 0xB2, 0x49, 0x00, 0xAF}));
  EXPECT_EQ(Slice(reply, 6, 172),
            Bytes(reinterpret_cast<BYTE*>(&tz), reinterpret_cast<BYTE*>(&tz) + 172));
  EXPECT_EQ(Slice(reply, 6, 4), Bytes({0xC4, 0xFF, 0xFF, 0xFF})) << "Bias -60, little-endian";
}

TEST_F(QueriesTest, TimeZoneFailureStillAnswersAZeroFilledStructure) {
  SayHello();
  platform::fault::FailNext(platform::fault::Call::kGetTimeZoneInformation, ERROR_INVALID_PARAMETER);
  Bytes reply = Query(8);
  ASSERT_EQ(reply.size(), 178u);
  EXPECT_EQ(Slice(reply, 6, 172), Bytes(172, 0));
}

TEST_F(QueriesTest, FreeSpaceOfTheStoreEchoesTheIndexLittleEndian) {
  SayHello();
  platform::fault::SetStoreFreeBytes(0x0102030405ull);
  ULARGE_INTEGER available{}, total{}, free{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(nullptr, &available, &total, &free));
  Bytes reply = Query(15, 2);
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(reply, Cat({{0xA0, 0x00, 0x20, 0x49, 0x00, 0x1D, 0x02, 0x00},
                        Le64(available.QuadPart), Le64(total.QuadPart), Le64(0x0102030405ull)}));
  EXPECT_EQ(session_.dwClass, 2u) << "the volume index replaces the class";
}

TEST_F(QueriesTest, FreeSpaceOfTheNamedVolumes) {
  SayHello();
  struct Case {
    BYTE index;
    const char16_t* name;
  };
  for (const Case& c : {Case{0, u"Storage Card"}, Case{1, u"Program Files"}}) {
    ULARGE_INTEGER available{}, total{}, free{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(c.name, &available, &total, &free));
    Bytes reply = Query(15, c.index);
    ASSERT_EQ(reply.size(), 32u) << "case " << c.index;
    EXPECT_EQ(Slice(reply, 6, 2), Bytes({c.index, 0x00}));
    // The host's figures move a little between two calls; the total does not.
    EXPECT_EQ(Slice(reply, 16, 8), Le64(total.QuadPart)) << "case " << c.index;
  }
}

TEST_F(QueriesTest, FreeSpaceFailureAnswersZeroSizes) {
  SayHello();
  platform::fault::FailNext(platform::fault::Call::kGetDiskFreeSpaceExW, ERROR_FILE_NOT_FOUND);
  Bytes reply = Query(15, 7);
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(Slice(reply, 6, 26), Cat({{0x07, 0x00}, Bytes(24, 0)}));
}

TEST_F(QueriesTest, ChangeQueryForAClassWithoutDatabaseAcknowledgesThenEnds) {
  SayHello();
  EXPECT_EQ(Query(5, 4, 0), Bytes({0xA0, 0x00, 0x03}));
  EXPECT_EQ(Receive(), Bytes({0x82, 0x00, 0x06, 0x49, 0x00, 0x03}));
  EXPECT_EQ(session_.dwClass, 5454u);
}

TEST_F(QueriesTest, FailedAcknowledgementStartsNoStream) {
  SayHello();
  platform::fault::FailNext(platform::fault::Call::kSend, 10054);
  ASSERT_TRUE(peer_.SendBytes(peer::Frame(MSG_QUERY, InfoItem({5, 0, 0, 0, 0, 0}))));
  EXPECT_TRUE(peer_.ClosedByDevice());
  // The worker ends the session after it closed the connection.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    {
      platform::MutexLock locked(&TrackingState::systemLock);
      if (session_.dwState != SessionStateStreaming) break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "still streaming";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace
