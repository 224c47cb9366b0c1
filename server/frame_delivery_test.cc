// HM_THREADING_TEST
// Frames as TCP delivers them, over a real loopback connection: several
// requests in one send, one request in several sends, a frame whose rest
// never comes, and frames followed by bytes that are no frames. Each case
// ends with the connection still in step.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "peer/device_requests.h"
#include "server/loopback_fixture.h"

namespace {

using hmtest::Be32;
using hmtest::Bytes;
using hmtest::Cat;
using hmtest::Head;
using hmtest::Slice;
using std::chrono::milliseconds;

constexpr DWORD kClass = 24;
constexpr milliseconds kPause{150};
constexpr milliseconds kQuiet{300};

const Bytes kAck{0x90, 0x00, 0x03};
const Bytes kHelloOk{0xA0, 0x00, 0x0B, 0x10, 0x00, 0x08, 0x00, 0x49, 0x00, 0x04, 0x2D};
const Bytes kUnrecognised{0xD1, 0x00, 0x03};
const Bytes kBadRequest{0xC0, 0x00, 0x03};
// Query 4 for class index 0 at a time after the class's sync time, and its
// answer: the recorded changes are complete.
const Bytes kQuery4Reply{0xA0, 0x00, 0x08, 0x49, 0x00, 0x05, 0x04, 0x00};

Bytes Query4() {
  return peer::Frame(peer::kMsgQuery, peer::Item(peer::kTagInfo, Cat({{4, 0}, Be32(2000)})));
}

Bytes Hello() { return peer::Frame(peer::kMsgHello, peer::HelloPayload(peer::kIdentification)); }

// Command 10 opening by `name` (flags 0), as the desktop side builds it.
Bytes OpenByName(const std::u16string& name) {
  Bytes fields = Cat({{10}, Be32(0), Be32(0), {0, 0, 0}});
  for (char16_t c : name) {
    fields.push_back(static_cast<BYTE>(c));
    fields.push_back(static_cast<BYTE>(c >> 8));
  }
  fields.insert(fields.end(), 2, 0);
  return peer::Frame(peer::kMsgCommand, peer::Item(peer::kTagInfo, fields));
}

class FrameDeliveryTest : public hmtest::LoopbackServerTest {
 protected:
  void SetUp() override {
    LoopbackServerTest::SetUp();
    SayHello();
    dbOid_ = MakeDatabase(kClass, u"Contacts");
    TrackedDb* node = Track(kClass);
    Record(node, 3, 1500, 7001);
    SetState(kClass, 1, 1000);
  }

  // Starts a change stream and reads it to its last frame, which is not
  // acknowledged yet.
  void StreamToLastFrame() {
    ASSERT_EQ(Query(5, 0, 0), Bytes({0xA0, 0x00, 0x03}));
    Bytes frame = Receive();
    ASSERT_FALSE(frame.empty());
    ASSERT_EQ(frame[0], 0x82) << "one frame holds the one change";
  }

  // Sends each block, pausing after each so that it arrives on its own;
  // then every reply that comes, until none arrives for kQuiet.
  std::vector<Bytes> SendApart(const std::vector<Bytes>& sends) {
    for (size_t i = 0; i < sends.size(); ++i) {
      EXPECT_TRUE(peer_.SendBytes(sends[i]));
      if (i + 1 < sends.size()) std::this_thread::sleep_for(kPause);
    }
    std::vector<Bytes> replies;
    for (;;) {
      Bytes frame;
      // The first reply may wait out the device's wait for a frame's rest.
      const milliseconds wait = replies.empty() ? milliseconds(4000) : kQuiet;
      if (peer_.ReceiveFrame(&frame, wait) != peer::ReceiveResult::kFrame) {
        EXPECT_TRUE(frame.empty()) << "part of a frame arrived";
        return replies;
      }
      replies.push_back(frame);
    }
  }

  CEOID dbOid_ = 0;
};

TEST_F(FrameDeliveryTest, EachWholeFrameIsAnsweredOnceAndTheRestAsItCame) {
  const Bytes query = Query4();
  const std::u16string longName(600, u'N');  // over a thousand bytes
  const Bytes open = OpenByName(longName);
  // The reply to the long request sent whole: the name opens nothing.
  const Bytes openReply = Command(Slice(open, 6, open.size()));
  ASSERT_EQ(openReply.size(), 15u);
  ASSERT_EQ(openReply[0], 0xA0);
  Bytes helloWaitingForMore = Hello();
  helloWaitingForMore[2] += 5;

  struct Case {
    const char* name;
    bool streamFirst;  // read a change stream to its last frame first
    std::vector<Bytes> sends;
    std::vector<Bytes> replies;
  };
  const Case cases[] = {
      {"the last acknowledgement and a query 4 in one send", true,
       {Cat({kAck, query})}, {kQuery4Reply}},
      {"two requests in one send", false, {Cat({Hello(), query})}, {kHelloOk, kQuery4Reply}},
      {"three frames in one send, one of them unknown", false,
       {Cat({query, {0x84, 0x00, 0x03}, Hello()})}, {kQuery4Reply, kUnrecognised, kHelloOk}},
      {"a long command 10 in two sends", false,
       {Head(open, 700), Slice(open, 700, open.size())}, {openReply}},
      {"a request in three sends", false,
       {Head(query, 4), Slice(query, 4, 4), Slice(query, 8, 4)}, {kQuery4Reply}},
      {"a frame whose rest never comes is handled as it came", false,
       {helloWaitingForMore}, {kHelloOk}},
      {"a frame followed by junk", false, {Cat({query, {0x01, 0x02}})}, {kQuery4Reply}},
      {"a frame followed by the start of another", false,
       {Cat({query, Head(query, 5)})}, {kQuery4Reply}},
      {"a frame followed by one whose length is under 3", false,
       {Cat({query, {0x83, 0x00, 0x02}})}, {kQuery4Reply}},
      {"a length under 3 before a whole frame", false,
       {Cat({{0x84, 0x00, 0x02}, query})}, {kUnrecognised}},
      {"a query whose length is under 3", false, {{0x83, 0x00, 0x02, 0x49, 0x00}}, {kBadRequest}},
      {"two bytes", false, {{0x83, 0x00}}, {kUnrecognised}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.streamFirst) StreamToLastFrame();
    EXPECT_EQ(SendApart(c.sends), c.replies);
    // Still in step, and the session open.
    EXPECT_EQ(Exchange(peer::kMsgQuery, Slice(query, 3, query.size())), kQuery4Reply);
  }
}

// A request cut in two is read as the one request it is: the database is
// opened by its whole name.
TEST_F(FrameDeliveryTest, ACommandSplitAcrossSendsOpensTheNamedDatabase) {
  const Bytes open = OpenByName(u"Contacts");
  for (size_t cut : {4, 12, 20}) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
    std::vector<Bytes> replies = SendApart({Head(open, cut), Slice(open, cut, open.size())});
    ASSERT_EQ(replies.size(), 1u);
    const Bytes& reply = replies[0];
    ASSERT_EQ(reply.size(), 15u);
    EXPECT_EQ(Head(reply, 7), Bytes({0xA0, 0x00, 0x0F, 0x49, 0x00, 0x0C, 0x0A}));
    const DWORD handle = peer::ReadBe32(&reply[7]);
    EXPECT_NE(handle, peer::kInvalidHandle);
    EXPECT_EQ(peer::ReadBe32(&reply[11]), dbOid_);
    EXPECT_TRUE(peer::CloseDb(peer_, handle).ok());
  }
}

}  // namespace
