// Commands over loopback: capture flags, flushing, enabling, forgetting and
// disabling per class, alarms, malformed and refused commands.
#include "server/commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/user_notification.h"
#include "server/alarm_command.h"
#include "server/loopback_fixture.h"

namespace {

using hmtest::Be32;
using hmtest::Bytes;
using hmtest::Cat;
using hmtest::Head;
using hmtest::Slice;

const Bytes kOk{0xA0, 0x00, 0x03};
const Bytes kBadRequest{0xC0, 0x00, 0x03};
constexpr DWORD kNow = 1700000000;

class CommandsTest : public hmtest::LoopbackServerTest {
 protected:
  void SetUp() override {
    LoopbackServerTest::SetUp();
    SayHello();
  }
  void TearDown() override {
    LoopbackServerTest::TearDown();
    platform::fault::SetClock(std::nullopt);
  }

  // A tracked database of class 24 whose log holds changes for `records`.
  TrackedDb* TrackedContacts(std::initializer_list<CEOID> records) {
    MakeDatabase(24, u"Contacts");
    TrackedDb* node = Track(24);
    DWORD time = 500;
    for (CEOID r : records) Record(node, 3, time++, r);
    return node;
  }

  // The record oids of a whole change stream of class 24.
  std::vector<CEOID> StreamedRecords() {
    EXPECT_EQ(Query(5, 0, 0), kOk);
    std::vector<CEOID> out;
    for (Bytes f = Receive();; f = Ack()) {
      for (size_t at = 6; at + 21 <= f.size(); at += 21) out.push_back(peer::ReadBe32(&f[at + 17]));
      if (f.empty() || f[0] != 0x02) break;
    }
    // Back to the open state; no reply comes. The wait keeps the next request
    // from arriving in the same receive as the acknowledgement.
    EXPECT_TRUE(peer_.SendBytes(peer::Frame(0x90, {})));
    EXPECT_TRUE(peer_.NothingArrives(std::chrono::milliseconds(50)));
    return out;
  }

  Bytes TimeReply(BYTE subCode, DWORD time = kNow) {
    return Cat({{0xA0, 0x00, 0x0C, 0x49, 0x00, 0x09, subCode, 0x00}, Be32(time)});
  }
};

TEST_F(CommandsTest, CaptureFlagsFollowSuspendResumeAndFlush) {
  struct Case {
    const char* name;
    std::vector<BYTE> commands;
    DWORD suppressed;
    DWORD locked;
  };
  const Case cases[] = {
      {"suspend", {2}, 1, 0},
      {"resume then suspend: suspend has no effect", {7, 2}, 0, 1},
      {"resume, flush, suspend: suspends again", {7, 3, 2}, 1, 0},
      {"suspend then flush", {2, 3}, 0, 0},
      {"suspend then resume", {2, 7}, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(peer_.Hello(), 0xA0);  // clears both flags
    for (BYTE command : c.commands) EXPECT_EQ(Command({command}), kOk) << "case " << c.name;
    EXPECT_EQ(tracking_.capture.fCaptureSuppressed.load(), c.suppressed) << "case " << c.name;
    EXPECT_EQ(tracking_.capture.fCaptureLocked.load(), c.locked) << "case " << c.name;
  }
}

// A tracking class keeps its horizon; any other takes the current second,
// never a time left from before (restored, set locally, raised by a purge
// while lost): nothing was recorded before it. The time answered is kept as
// LastSyncTime.
TEST_F(CommandsTest, EnableKeepsOnlyATrackingClassesSyncTime) {
  TrackedContacts({});
  struct Case {
    const char* name;
    DWORD state;
    DWORD syncTime;
    DWORD expected;
  } cases[] = {
      {"tracking", SyncStateTracking, 1000, 1000},
      {"none, with a time left", SyncStateNone, 1000, kNow},
      {"lost, with a time left", SyncStateLost, 1000, kNow},
      {"lost", SyncStateLost, 0, kNow},
  };
  DWORD now = kNow;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetState(24, c.state, c.syncTime);
    // Each case a second later: a class that enters tracking takes a
    // second after the last time it answered.
    platform::fault::SetClock(++now);
    EXPECT_EQ(Command({6, 0}), TimeReply(6, now));
    EXPECT_EQ(ClassValue("SyncState", 24), 1u);
    EXPECT_EQ(ClassValue("SyncTime", 24), c.expected == kNow ? now : c.expected);
    EXPECT_EQ(ClassValue("LastSyncTime", 24), now);
  }
}

TEST_F(CommandsTest, EnableDiscoversAnUntrackedClassAndStartsItsSyncTime) {
  MakeDatabase(26, u"Tasks");
  platform::fault::SetClock(kNow);
  EXPECT_EQ(Command({6, 2}), TimeReply(6));
  platform::MutexLock locked(&TrackingState::systemLock);
  EXPECT_NE(tracking_.trackedDbs.FirstTrackedOfClass(26), nullptr);
  EXPECT_EQ(ClassValue("SyncState", 26), 1u);
  EXPECT_EQ(ClassValue("SyncTime", 26), kNow);
}

TEST_F(CommandsTest, EnableOfAClassWithoutDatabaseStillAnswersButLeavesItLost) {
  SetState(291, 1, 1000);
  platform::fault::SetClock(kNow);
  EXPECT_EQ(Command({6, 3}), TimeReply(6));
  EXPECT_EQ(ClassValue("SyncState", 291), 2u);
  EXPECT_EQ(ClassValue("SyncTime", 291), 0u);
  EXPECT_EQ(ClassValue("LastSyncTime", 291), kNow);
}

TEST_F(CommandsTest, ForgetRemovesTheLoadedChangeAndItsRecordButNothingOnceFlushed) {
  TrackedContacts({71, 72, 73});
  EXPECT_EQ(StreamedRecords(), std::vector<CEOID>({73, 72, 71}));
  platform::fault::SetClock(kNow);
  EXPECT_EQ(Command(Cat({{16, 0}, Be32(72)})), TimeReply(16));
  EXPECT_EQ(Command({3}), kOk);
  EXPECT_EQ(StreamedRecords(), std::vector<CEOID>({73, 71})) << "gone from the log database too";

  EXPECT_EQ(Command({3}), kOk);  // the list is released
  EXPECT_EQ(Command(Cat({{16, 0}, Be32(73)})), TimeReply(16));
  EXPECT_EQ(StreamedRecords(), std::vector<CEOID>({73, 71}));
}

TEST_F(CommandsTest, DisableMarksTheClassLostAndDeletesItsLog) {
  TrackedDb* node = TrackedContacts({5});
  SetState(24, 1, 1000);
  CEOID oidLog;
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    oidLog = node->pLog->LogDbOid();
  }
  EXPECT_EQ(Command({17, 0}), kOk);
  EXPECT_EQ(ClassValue("SyncState", 24), 2u);
  EXPECT_EQ(ClassValue("SyncTime", 24), 0u);
  CEOIDINFO info;
  EXPECT_FALSE(CeOidGetInfo(oidLog, &info));
  platform::MutexLock locked(&TrackingState::systemLock);
  EXPECT_EQ(tracking_.trackedDbs.FirstTrackedOfClass(24), node) << "the node stays";
}

TEST_F(CommandsTest, FlushAfterAFreeSpaceQueryFlushesNothing) {
  TrackedDb* node = TrackedContacts({1, 2});
  ASSERT_EQ(Query(5, 0, 0), kOk);
  while (Receive()[0] == 0x02) ASSERT_TRUE(peer_.SendBytes(peer::Frame(0x90, {})));
  ASSERT_TRUE(peer_.SendBytes(peer::Frame(0x90, {})));
  ASSERT_TRUE(peer_.NothingArrives(std::chrono::milliseconds(50)));
  ASSERT_EQ(Query(15, 1).size(), 32u);
  ASSERT_EQ(Command({2}), kOk);
  EXPECT_EQ(Command({3}), kOk);
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    EXPECT_NE(node->pLog->NewestEntry(), nullptr) << "the class's list is still loaded";
  }
  EXPECT_EQ(tracking_.capture.fCaptureSuppressed.load(), 0u);
  EXPECT_EQ(tracking_.capture.fCaptureLocked.load(), 0u);
}

// The fixed part of an alarm item: handle, set byte, action flags, a time
// and the four string lengths.
Bytes AlarmItem(DWORD handle, BYTE set, std::vector<WORD> lengths, const std::string& strings) {
  Bytes out = Cat({{9}, Be32(handle), {set, 0x0C}});
  for (WORD v : {2030, 5, 3, 15, 9, 30, 0, 0}) out.insert(out.end(), {BYTE(v >> 8), BYTE(v)});
  for (WORD v : lengths) out.insert(out.end(), {BYTE(v >> 8), BYTE(v)});
  out.insert(out.end(), strings.begin(), strings.end());
  return out;
}

TEST_F(CommandsTest, AlarmIsSetWithItsHandleAndClearedByIt) {
  Bytes reply = Command(AlarmItem(0, 1, {0, 0, 0, 0}, ""));
  ASSERT_EQ(reply.size(), 11u);
  EXPECT_EQ(Head(reply, 7), Bytes({0xA0, 0x00, 0x0B, 0x49, 0x00, 0x08, 0x09}));
  HANDLE handle = peer::ReadBe32(&reply[7]);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(session_.hAlarm, handle);

  EXPECT_EQ(Command(AlarmItem(handle, 0, {0, 0, 0, 0}, "")),
            Bytes({0xA0, 0x00, 0x0B, 0x49, 0x00, 0x08, 0x09, 0, 0, 0, 0}));
  EXPECT_FALSE(CeClearUserNotification(handle)) << "already cleared by the command";
}

TEST_F(CommandsTest, AlarmReachesTheDeviceWithItsStringsOrTheDefaults) {
  struct Case {
    const char* name;
    std::vector<WORD> lengths;
    std::string strings;
    std::u16string application, title, text, sound;
  };
  const Case cases[] = {
      {"all lengths 0", {0, 0, 0, 0}, "",
       u"CALENDAR.EXE", u"Alarm Reminder", u"Alarm Message", u"Alarm1.wav"},
      {"name of 5, title 0, text 3", {5, 0, 3, 0}, std::string("PMAIL\0Hi!\0", 10),
       u"PMAIL", u"Alarm Reminder", u"Hi!", u"Alarm1.wav"},
  };
  for (const Case& c : cases) {
    Bytes reply = Command(AlarmItem(0, 1, c.lengths, c.strings));
    ASSERT_EQ(reply.size(), 11u) << "case " << c.name;
    HANDLE handle = peer::ReadBe32(&reply[7]);
    std::vector<platform::UserNotificationRecord> all;
    ASSERT_TRUE(platform::ListUserNotifications(&all).ok());
    auto it = std::find_if(all.begin(), all.end(), [&](const auto& n) { return n.handle == handle; });
    ASSERT_NE(it, all.end()) << "case " << c.name;
    EXPECT_EQ(it->application, c.application) << "case " << c.name;
    EXPECT_EQ(it->title, c.title) << "case " << c.name;
    EXPECT_EQ(it->text, c.text) << "case " << c.name;
    EXPECT_EQ(it->sound, c.sound) << "case " << c.name;
    EXPECT_EQ(it->flags, 0x0Cu) << "case " << c.name;
    EXPECT_EQ(it->time.wYear, 2030) << "case " << c.name;
    EXPECT_EQ(it->time.wHour, 9) << "case " << c.name;
  }
}

TEST_F(CommandsTest, AlarmThatCannotBeSetAnswersHandleZero) {
  platform::fault::FailNext(platform::fault::Call::kCeSetUserNotification, ERROR_OUTOFMEMORY);
  EXPECT_EQ(Command(AlarmItem(0, 1, {0, 0, 0, 0}, "")),
            Bytes({0xA0, 0x00, 0x0B, 0x49, 0x00, 0x08, 0x09, 0, 0, 0, 0}));
}

TEST_F(CommandsTest, AlarmWhoseStringBufferCannotBeHadIsNeitherSetNorCleared) {
  Bytes reply = Command(AlarmItem(0, 1, {0, 0, 0, 0}, ""));
  HANDLE handle = peer::ReadBe32(&reply[7]);
  platform::fault::FailNext(platform::fault::Call::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Command(AlarmItem(handle, 0, {0, 5, 0, 0}, "Title")), kBadRequest);
  EXPECT_TRUE(CeClearUserNotification(handle)) << "the failed clear left it in place";
}

TEST(AlarmRequestTest, StringsFollowTheirLengthsAndMissingOnesTakeTheDefaults) {
  struct Case {
    const char* name;
    std::vector<WORD> lengths;
    std::string strings;
    std::u16string application, title, text, sound;
  };
  const Case cases[] = {
      {"all empty", {0, 0, 0, 0}, "",
       u"CALENDAR.EXE", u"Alarm Reminder", u"Alarm Message", u"Alarm1.wav"},
      // The text starts 6 bytes after byte 31: the name's 5 bytes and its NUL.
      {"name of 5, title 0, text 3", {5, 0, 3, 0}, std::string("PMAIL\0Hi!\0", 10),
       u"PMAIL", u"Alarm Reminder", u"Hi!", u"Alarm1.wav"},
      {"taken up to the NUL", {6, 0, 0, 0}, std::string("ab\0cde\0", 7),
       u"ab", u"Alarm Reminder", u"Alarm Message", u"Alarm1.wav"},
      {"code page 1252", {0, 0, 0, 5}, "b\xE9" "e\x80p",
       u"CALENDAR.EXE", u"Alarm Reminder", u"Alarm Message", u"b\u00E9e\u20ACp"},
      // A string the peer announced but did not send at all is empty.
      {"running past the item: cut at its end", {0, 40, 0, 9}, "Wake",
       u"CALENDAR.EXE", u"Wake", u"Alarm Message", u""},
  };
  for (const Case& c : cases) {
    Bytes item = AlarmItem(0x1234, 1, c.lengths, c.strings);
    AlarmRequest request;
    ASSERT_EQ(request.Read(item.data(), static_cast<DWORD>(item.size())),
              AlarmRequest::ReadResult::kOk)
        << "case " << c.name;
    EXPECT_EQ(std::u16string(request.application()), c.application) << "case " << c.name;
    EXPECT_EQ(std::u16string(request.notification().pwszDialogTitle), c.title) << "case " << c.name;
    EXPECT_EQ(std::u16string(request.notification().pwszDialogText), c.text) << "case " << c.name;
    EXPECT_EQ(std::u16string(request.notification().pwszSound), c.sound) << "case " << c.name;
    EXPECT_EQ(request.notification().ActionFlags, 0x0Cu) << "case " << c.name;
    EXPECT_EQ(request.handle(), 0x1234u) << "case " << c.name;
    EXPECT_EQ(request.time().wYear, 2030) << "case " << c.name;
    EXPECT_EQ(request.time().wMinute, 30) << "case " << c.name;
  }
}

TEST(AlarmRequestTest, ItemEndingBeforeItsStringsIsTooShort) {
  Bytes item = AlarmItem(0, 1, {0, 0, 0, 0}, "");
  AlarmRequest request;
  EXPECT_EQ(request.Read(item.data(), static_cast<DWORD>(item.size() - 1)),
            AlarmRequest::ReadResult::kTooShort);
}

TEST_F(CommandsTest, MalformedCommandsAreRefusedAndChangeNothing) {
  struct Case {
    const char* name;
    Bytes payload;
  };
  const Case cases[] = {
      {"query sub-code 4", InfoItem({4, 0})},
      {"query sub-code 5", InfoItem({5, 0})},
      {"query sub-code 8", InfoItem({8})},
      {"sub-code 14", InfoItem({14})},
      {"query sub-code 15", InfoItem({15, 0})},
      {"item length 0", {0x49, 0x00, 0x00, 6, 0}},
      {"item without a sub-code", {0x49, 0x00, 0x03}},
      {"item length past the payload", {0x49, 0x00, 0x09, 6, 0}},
      {"no I item", peer::Item(0x01, Bytes{6, 0})},
      {"class index 5", InfoItem({6, 5})},
      {"enable without class index", InfoItem({6})},
      {"forget without the record", InfoItem({16, 0, 0, 0, 0})},
      {"disable with class index 9", InfoItem({17, 9})},
      {"alarm cut before its strings", InfoItem(Head(AlarmItem(0, 1, {0, 0, 0, 0}, ""), 30))},
      {"open without flags", InfoItem({10, 0, 0, 0, 0})},
      {"close without handle", InfoItem({11, 0, 0})},
      {"seek without value", InfoItem({12, 0, 0, 0, 1, 0, 0, 0, 1})},
      {"read without handle", InfoItem({13})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Exchange(MSG_COMMAND, c.payload), kBadRequest) << "case " << c.name;
  }
  EXPECT_EQ(ClassValue("SyncState", 24), 0xDEADBEEFu) << "nothing written";
  EXPECT_EQ(session_.hAlarm, 0u);
}

TEST_F(CommandsTest, CommandsOutsideAnOpenSessionAreRefused) {
  ASSERT_EQ(peer_.EndSession(false), 0xA0);
  EXPECT_EQ(Command({2}), Bytes({0xD3, 0x00, 0x03}));
  EXPECT_EQ(tracking_.capture.fCaptureSuppressed.load(), 0u);
}

}  // namespace

// A command runs in one store transaction taken before the lock; when it
// cannot be committed nothing of it is kept, and the peer is not told it
// worked: the class it selected reads lost and the reply is 0xC0.
TEST_F(CommandsTest, ACommandWhoseWritesCannotBeCommittedLosesItsClassAndFails) {
  TrackedContacts({});
  SetState(24, 0, 1000);
  platform::fault::SetClock(kNow);
  platform::fault::FailNext(platform::fault::Call::kCeEndTransaction, ERROR_DISK_FULL);
  EXPECT_EQ(Command({6, 0}), kBadRequest);
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    EXPECT_EQ(GetSyncState(tracking_.syncStates, 24), SyncStateLost);
  }
  // The next command is kept again, and enabling tracks the class afresh,
  // from a second later than the time it answered.
  platform::fault::SetClock(kNow + 1);
  EXPECT_EQ(Command({6, 0}), TimeReply(6, kNow + 1));
  EXPECT_EQ(ClassValue("SyncState", 24), 1u);
}

namespace {

// A command that cannot have the store (busy past the wait) is not carried
// out at all: the peer is told it failed, and neither the registry nor the
// process's cached state changes.
TEST_F(CommandsTest, ACommandThatCannotHaveTheStoreChangesNothingAndFails) {
  TrackedContacts({});
  struct Case {
    const char* name;
    Bytes command;
  } cases[] = {{"enable", {6, 0}}, {"disable", {17, 0}}, {"forget", {16, 0, 0, 0, 0, 1}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetState(24, SyncStateTracking, 1000);
    platform::fault::FailNext(platform::fault::Call::kCeBeginTransaction, ERROR_DISK_FULL);
    EXPECT_EQ(Command(c.command), kBadRequest);
    EXPECT_EQ(ClassValue("SyncState", 24), SyncStateTracking);
    EXPECT_EQ(ClassValue("SyncTime", 24), 1000u);
    EXPECT_EQ(ClassValue("LastSyncTime", 24), 0xDEADBEEFu) << "no time answered";
    platform::MutexLock locked(&TrackingState::systemLock);
    EXPECT_EQ(GetSyncState(tracking_.syncStates, 24), SyncStateTracking);
  }
}

// Only a request that may write the store waits for it: while the store
// cannot be had, remote database commands and queries are still answered,
// and every other command, known or not, is refused before it runs.
TEST_F(CommandsTest, OnlyCommandsThatMayWriteTheStoreNeedIt) {
  struct Case {
    const char* name;
    BYTE type;
    Bytes fields;
    bool needsStore;
  } cases[] = {
      {"suspend", MSG_COMMAND, {2}, true},
      {"flush", MSG_COMMAND, {3}, true},
      {"resume", MSG_COMMAND, {7}, true},
      {"an unknown command", MSG_COMMAND, {99}, true},
      {"close a database", MSG_COMMAND, {11, 0, 0, 0, 0}, false},
      {"read records", MSG_COMMAND, {13, 0, 0, 0, 0}, false},
      {"time zone", MSG_QUERY, {8, 0, 0, 0, 0, 0}, false},
      {"free space", MSG_QUERY, {15, 2, 0, 0, 0, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::fault::FailNext(platform::fault::Call::kCeBeginTransaction, ERROR_DISK_FULL);
    const Bytes reply = Exchange(c.type, InfoItem(c.fields));
    if (c.needsStore) {
      EXPECT_EQ(reply, kBadRequest);
      EXPECT_EQ(tracking_.capture.fCaptureSuppressed.load(), 0u);
      EXPECT_EQ(tracking_.capture.fCaptureLocked.load(), 0u);
    } else {
      ASSERT_FALSE(reply.empty());
      EXPECT_EQ(reply[0], STATUS_OK);
    }
    platform::fault::Clear();
  }
}

}  // namespace
