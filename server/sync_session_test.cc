// The framing, the item search, hello and end of session, driven through
// HandleMessage in-process with a buffer of the test's own.
#include "server/sync_session.h"

#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/object_store.h"
#include "server/framing.h"
#include "server/message_buffer.h"
#include "server/message_dispatch.h"
#include "server/protocol.h"
#include "server/session_messages.h"
#include "tests/support/temp_device.h"
#include "tracking/tracking_state.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// First byte, 16-bit length counting the 3 header bytes, then the body.
template <typename Body>
Bytes WithHeader(BYTE first, const Body& body) {
  const size_t length = body.size() + 3;
  Bytes out;
  out.reserve(length);
  out.push_back(first);
  out.push_back(static_cast<BYTE>(length >> 8));
  out.push_back(static_cast<BYTE>(length));
  for (auto b : body) out.push_back(static_cast<BYTE>(b));
  return out;
}

Bytes Item(BYTE tag, const std::string& payload) { return WithHeader(tag, payload); }
Bytes Frame(BYTE type, const Bytes& payload) { return WithHeader(type, payload); }

Bytes HelloPrefix(BYTE version = 0x10, WORD bufferSize = 2048) {
  Bytes out{version, 0x00, 0, 0};
  PutBe16(out.data() + 2, bufferSize);
  return out;
}

Bytes Hello(const std::string& id) {
  return Frame(MSG_HELLO, Concat({HelloPrefix(), Item(TAG_IDENTITY, id)}));
}

const Bytes kStatusOnlyOk{0xA0, 0x00, 0x03};
Bytes HelloReply(BYTE status) {
  return {status, 0x00, 0x0B, 0x10, 0x00, 0x08, 0x00, 0x49, 0x00, 0x04, 0x2D};
}

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() = default;

  // Hands `message` to HandleMessage as one received block; the reply, or
  // nullopt-like empty with *replied false.
  Bytes Handle(const Bytes& message, bool* replied = nullptr) {
    std::memset(buffer_, 0xEE, sizeof(buffer_));
    std::memcpy(buffer_, message.data(), message.size());
    reply_.Clear();
    int result;
    {
      platform::MutexLock locked(&TrackingState::systemLock);
      result = HandleMessage(session_, buffer_, static_cast<int32_t>(message.size()), reply_,
                             tracking_);
    }
    if (replied != nullptr) *replied = result != 0;
    if (result == 0) return {};
    return Bytes(reply_.Data(), reply_.Data() + reply_.Size());
  }

  void SetFlags(uint32_t value) {
    flags_.fCaptureSuppressed = value;
    flags_.fCaptureLocked = value;
  }

  hmtest::TempDevice device_;
  TrackingState tracking_;
  CaptureFlags& flags_ = tracking_.capture;
  SyncSession session_;
  BYTE buffer_[kMessageBufferBytes];
  MessageBuffer reply_;
};

TEST(SyncSessionConstruction, StartsWithTheDocumentedFields) {
  SyncSession s;
  EXPECT_EQ(s.dwState, SessionStateNone);
  EXPECT_EQ(s.bLastOp, OP_NONE);
  EXPECT_EQ(s.cbRecordsMax, 2033u);
  ASSERT_NE(s.pRecords, nullptr);
  for (DWORD i = 0; i < s.cbRecordsMax; ++i) ASSERT_EQ(s.pRecords[i], 0);
  EXPECT_EQ(s.fStreamStart | s.fStreamDone | s.dwClass | s.dwSinceTime |
                s.hAlarm | s.hRemoteDb | s.oidRemoteDb | s.oidRecord |
                s.dwSeekIndex | s.cbRecords | s.cRecords,
            0u);
}

// Every run is copied into a heap block of exactly its size, so a read past
// its end is caught by the address sanitizer.
TEST(FindItem, StepsBySizeAndNeverPastTheRun) {
  struct Case {
    const char* name;
    Bytes run;
    BYTE tag;
    int offset;  // -1: not found
  };
  const Case cases[] = {
      {"empty run", {}, 0x46, -1},
      {"first item", Item(0x46, "abc"), 0x46, 0},
      {"after a low-tag item of 5", Concat({{0x01, 0x00, 0x05, 9, 9}, Item(0x46, "x")}),
       0x46, 5},
      {"match whatever its length field", {0x46, 0x00, 0x00}, 0x46, 0},
      {"lone tag byte matches", {0x46}, 0x46, 0},
      {"no match", Concat({Item(0x01, "ab"), Item(0x02, "")}), 0x46, -1},
      {"length under 3 ends the search", Concat({{0x01, 0x00, 0x02}, Item(0x46, "x")}),
       0x46, -1},
      {"length 0 ends the search", Concat({{0x01, 0x00, 0x00}, Item(0x46, "x")}), 0x46,
       -1},
      {"length past the run", Concat({{0x01, 0x00, 0x09}, Item(0x46, "x")}), 0x46, -1},
      {"header cut short", {0x01, 0x00}, 0x46, -1},
      {"0x80-0xBF step 2", Concat({{0x85, 0x77}, Item(0x46, "x")}), 0x46, 2},
      {"0xC0-0xFF step 5", Concat({{0xC5, 1, 2, 3, 4}, Item(0x46, "x")}), 0x46, 5},
      {"fixed 2 past the run", {0xBF}, 0x46, -1},
      {"fixed 5 past the run", {0xFF, 0x46, 0x00, 0x05}, 0x46, -1},
      {"sought high tag found", Concat({Item(0x01, ""), {0x90, 0x00}}), 0x90, 3},
  };
  for (const Case& c : cases) {
    BYTE* run = new BYTE[c.run.size() + (c.run.empty() ? 1 : 0)];
    std::copy(c.run.begin(), c.run.end(), run);
    const BYTE* found = FindItem(c.tag, run, static_cast<WORD>(c.run.size()));
    int offset = found == nullptr ? -1 : static_cast<int>(found - run);
    EXPECT_EQ(offset, c.offset) << "case " << c.name;
    delete[] run;
  }
}

TEST_F(SessionTest, ShortOrUnknownMessagesAreUnrecognised) {
  const Bytes d1{0xD1, 0x00, 0x03};
  struct Case {
    const char* name;
    DWORD state;
    Bytes message;
  };
  const Case cases[] = {
      {"2 bytes", SessionStateNone, {0x80, 0x00}},
      {"1 byte", SessionStateOpen, {0x83}},
      {"2 bytes while streaming", SessionStateStreaming, {0x90, 0x00}},
      {"type 0x84", SessionStateNone, Frame(0x84, {})},
      {"type 0x7F", SessionStateOpen, Frame(0x7F, {})},
      {"type 0x90 outside a stream", SessionStateOpen, Frame(0x90, {})},
  };
  for (const Case& c : cases) {
    session_.dwState = c.state;
    EXPECT_EQ(Handle(c.message), d1) << "case " << c.name;
    EXPECT_EQ(session_.dwState, c.state) << "case " << c.name;
  }
}

TEST_F(SessionTest, HelloIsJudgedByVersionBufferSizeAndIdentification) {
  struct Case {
    const char* name;
    Bytes message;
    BYTE status;
  };
  const Bytes id = Item(TAG_IDENTITY, "HM-HPCSERV-10");
  const Case cases[] = {
      {"accepted", Hello("HM-HPCSERV-10"), 0xA0},
      {"trailing characters", Hello("HM-HPCSERV-10 build 7"), 0xA0},
      {"identification cut short", Hello("HM-HPCSERV-1"), 0xD3},
      {"identification differs", Hello("HM-HPCSERV-11"), 0xD3},
      {"empty identification", Hello(""), 0xD3},
      {"version 0x11", Frame(MSG_HELLO, Concat({HelloPrefix(0x11), id})), 0xC0},
      {"version 0x00", Frame(MSG_HELLO, Concat({HelloPrefix(0x00), id})), 0xC0},
      {"buffer 2047", Frame(MSG_HELLO, Concat({HelloPrefix(0x10, 2047), id})), 0xC0},
      {"buffer 2048", Frame(MSG_HELLO, Concat({HelloPrefix(0x10, 2048), id})), 0xA0},
      {"buffer 65535", Frame(MSG_HELLO, Concat({HelloPrefix(0x10, 0xFFFF), id})), 0xA0},
      {"item 0x01 of 5 before F",
       Frame(MSG_HELLO, Concat({HelloPrefix(), {0x01, 0x00, 0x05, 7, 7}, id})), 0xA0},
      {"no item", Frame(MSG_HELLO, HelloPrefix()), 0xD3},
      {"prefix cut short", Frame(MSG_HELLO, {0x10, 0x00, 0x08}), 0xC0},
      {"empty payload", Frame(MSG_HELLO, {}), 0xC0},
      {"F item runs past the frame",
       Frame(MSG_HELLO, Concat({HelloPrefix(), {0x46, 0x00, 0x40}, Bytes(13, 'H')})),
       0xD3},
      // The frame's length field is trusted only as far as the bytes go.
      {"length field over the bytes received",
       [&] {
         Bytes m = Hello("HM-HPCSERV-10");
         PutBe16(m.data() + 1, 0x0400);
         return m;
       }(),
       0xA0},
      {"length field under 3",
       [&] {
         Bytes m = Hello("HM-HPCSERV-10");
         PutBe16(m.data() + 1, 2);
         return m;
       }(),
       0xC0},
      {"length field ends before the identification",
       [&] {
         Bytes m = Hello("HM-HPCSERV-10");
         PutBe16(m.data() + 1, static_cast<WORD>(m.size() - 1));
         return m;
       }(),
       0xD3},
  };
  for (const Case& c : cases) {
    session_.dwState = SessionStateEnded;
    SetFlags(1);
    EXPECT_EQ(Handle(c.message), HelloReply(c.status)) << "case " << c.name;
    const bool accepted = c.status == 0xA0;
    EXPECT_EQ(session_.dwState, accepted ? SessionStateOpen : SessionStateEnded)
        << "case " << c.name;
    EXPECT_EQ(flags_.fCaptureSuppressed.load(), accepted ? 0u : 1u) << "case " << c.name;
    EXPECT_EQ(flags_.fCaptureLocked.load(), accepted ? 0u : 1u) << "case " << c.name;
  }
}

TEST_F(SessionTest, EndOfSessionEndsOrShutsDownAndClearsCapture) {
  struct Case {
    const char* name;
    DWORD before;
    Bytes payload;
    DWORD after;
  };
  const Case cases[] = {
      {"shutdown byte 1", SessionStateOpen, {0x49, 0x00, 0x04, 0x01}, SessionStateShutdown},
      {"shutdown byte 0", SessionStateOpen, {0x49, 0x00, 0x04, 0x00}, SessionStateEnded},
      {"empty payload", SessionStateOpen, {}, SessionStateEnded},
      {"without a hello", SessionStateNone, {}, SessionStateEnded},
      {"item length not read", SessionStateOpen, {0x49, 0x00, 0x00, 0x07}, SessionStateShutdown},
      {"not an I item", SessionStateOpen, {0x48, 0x00, 0x04, 0x01}, SessionStateEnded},
      {"I item cut before its byte", SessionStateOpen, {0x49, 0x00, 0x04}, SessionStateEnded},
      {"shutdown stays", SessionStateShutdown, {0x49, 0x00, 0x04, 0x00}, SessionStateShutdown},
  };
  for (const Case& c : cases) {
    session_.dwState = c.before;
    SetFlags(1);
    EXPECT_EQ(Handle(Frame(MSG_END_SESSION, c.payload)), kStatusOnlyOk) << "case " << c.name;
    EXPECT_EQ(session_.dwState, c.after) << "case " << c.name;
    EXPECT_EQ(flags_.fCaptureSuppressed.load(), 0u) << "case " << c.name;
    EXPECT_EQ(flags_.fCaptureLocked.load(), 0u) << "case " << c.name;
  }
}

// The replies after which the peer may commit what it read wait for the
// store's durability point: command 3 and the end of session, nothing else.
TEST_F(SessionTest, OnlyCommand3AndTheEndOfSessionLetThePeerCommit) {
  const auto command = [](BYTE code) {
    return Frame(MSG_COMMAND, Item(TAG_INFO, std::string(1, static_cast<char>(code)) + std::string(5, '\0')));
  };
  struct Case {
    const char* name;
    DWORD state;
    Bytes frame;
    bool commits;
  };
  const Case cases[] = {
      {"command 3", SessionStateOpen, command(CMD_FLUSH_CHANGES), true},
      {"end of session", SessionStateOpen, Frame(MSG_END_SESSION, {}), true},
      {"end of session without a hello", SessionStateNone, Frame(MSG_END_SESSION, {}), true},
      {"command 6", SessionStateOpen, command(CMD_ENABLE_CLASS), false},
      {"command 2", SessionStateOpen, command(CMD_SUSPEND_CAPTURE), false},
      {"a query", SessionStateOpen, Frame(MSG_QUERY, Item(TAG_INFO, std::string(6, '\x04'))), false},
      {"hello", SessionStateNone, Hello("HM-HPCSERV-10"), false},
      {"command 3 refused outside a session", SessionStateNone, command(CMD_FLUSH_CHANGES), false},
      {"command 3 without its item", SessionStateOpen, Frame(MSG_COMMAND, {}), false},
      {"an acknowledgement while streaming", SessionStateStreaming, Frame(MSG_END_SESSION, {}), false},
      {"a header cut short", SessionStateOpen, Bytes{MSG_END_SESSION, 0x00}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    session_.dwState = c.state;
    EXPECT_EQ(MessageLetsPeerCommit(session_, c.frame.data(), static_cast<int32_t>(c.frame.size())),
              c.commits);
  }
}

TEST_F(SessionTest, QueriesAndCommandsAreRefusedOutsideAnOpenSession) {
  const Bytes refused{0xD3, 0x00, 0x03};
  const Bytes item = Item(TAG_INFO, std::string("\x04\x00\x00\x00\x00\x00", 6));
  for (DWORD state : {SessionStateNone, SessionStateEnded, SessionStateShutdown}) {
    session_.dwState = state;
    EXPECT_EQ(Handle(Frame(MSG_QUERY, item)), refused) << "state " << state;
    EXPECT_EQ(Handle(Frame(MSG_COMMAND, item)), refused) << "state " << state;
    EXPECT_EQ(session_.dwState, state);
  }
  // After an end of session, until the next hello.
  session_.dwState = SessionStateOpen;
  Handle(Frame(MSG_END_SESSION, {}));
  EXPECT_EQ(Handle(Frame(MSG_QUERY, item)), refused);
  EXPECT_EQ(Handle(Hello("HM-HPCSERV-10")), HelloReply(0xA0));
  // Heard again: an "I" item too short for any query is malformed.
  EXPECT_EQ(Handle(Frame(MSG_QUERY, Item(TAG_INFO, "\x04"))),
            (Bytes{0xC0, 0x00, 0x03}));
}

TEST_F(SessionTest, DuringAStreamOnlyAcknowledgementsAreServed) {
  session_.dwState = SessionStateStreaming;
  session_.fStreamDone = 0;
  bool replied = true;
  for (const Bytes& m : {Hello("HM-HPCSERV-10"), Frame(MSG_END_SESSION, {}),
                         Frame(MSG_QUERY, {}), Frame(0x84, {})}) {
    Handle(m, &replied);
    EXPECT_FALSE(replied);
    EXPECT_EQ(session_.dwState, SessionStateStreaming);
  }
  // The acknowledgement of the last frame ends the stream without a reply.
  session_.fStreamDone = 1;
  for (BYTE ack : {ACK_CONTINUE, STATUS_OK}) {
    session_.dwState = SessionStateStreaming;
    Handle(Frame(ack, {}), &replied);
    EXPECT_FALSE(replied) << "ack " << int{ack};
    EXPECT_EQ(session_.dwState, SessionStateOpen) << "ack " << int{ack};
  }
}

TEST_F(SessionTest, AConnectionEndingMidStreamLeavesNothingForTheNext) {
  session_.dwState = SessionStateStreaming;
  session_.fStreamStart = 1;
  session_.fStreamDone = 0;
  session_.bLastOp = QUERY_CHANGES;
  session_.dwClass = 25;
  SetFlags(1);
  {
    // The stream stands in a database of the class.
    platform::MutexLock locked(&TrackingState::systemLock);
    ASSERT_NE(CeCreateDatabase(u"Calendar", 25, 0, nullptr), 0u);
    ASSERT_TRUE(tracking_.trackedDbs.DiscoverClassDbs(25, true, 0));
    session_.changes.Start(tracking_, 25);
    ASSERT_TRUE(session_.changes.Reading());
    EndConnection(session_, tracking_);
    EXPECT_FALSE(session_.changes.Reading());
    EXPECT_EQ(session_.changes.Next(tracking_, 0), nullptr) << "nothing read on";
  }
  EXPECT_EQ(session_.dwState, SessionStateNone);
  EXPECT_EQ(session_.fStreamStart, 0u);
  EXPECT_EQ(session_.fStreamDone, 1u);
  EXPECT_EQ(session_.bLastOp, OP_NONE);
  EXPECT_EQ(session_.dwClass, 25u);
  EXPECT_EQ(flags_.fCaptureSuppressed.load(), 0u);
  EXPECT_EQ(flags_.fCaptureLocked.load(), 0u);
  // The next peer is heard: its hello is answered.
  EXPECT_EQ(Handle(Hello("HM-HPCSERV-10")), HelloReply(0xA0));
}

}  // namespace
