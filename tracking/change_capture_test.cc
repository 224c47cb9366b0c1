#include "tracking/change_capture.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "settings/registry_store.h"
#include "tests/support/temp_device.h"
#include "tracking/change_log.h"
#include "tracking/mail_store.h"
#include "tracking/record_reader.h"
#include "tracking/mail_tracking.h"
#include "tracking/store_fixture.h"
#include "tracking/tracking_state.h"
#include "tracking/trace.h"
#include "tracking/tracked_db.h"

namespace {

using platform::fault::Call;
using platform::fault::FailNext;
using platform::fault::SetClock;
using platform::fault::SetUptimeMs;

constexpr DWORD kNow = 1'700'000'000;

struct Rec {
  BYTE type;
  CEOID oid;
  DWORD uid;
  DWORD time;
  bool operator==(const Rec&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Rec& r) {
  return os << "{type " << int(r.type) << ", oid " << std::hex << r.oid
            << ", uid " << r.uid << std::dec << ", time " << r.time << "}";
}

DWORD Le32(const BYTE* p) {
  return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}

// The records of a change-log database, read from the store.
std::vector<Rec> LogRecords(const ChangeLog* log) REQUIRES(TrackingState::systemLock) {
  std::vector<Rec> recs;
  if (log->LogDbOid() == 0) return recs;
  ReadOnlyDb db(log->LogDbOid(), nullptr);
  if (!db.ok() || !db.SeekToStart()) return recs;
  RecordProps props;
  while (props.ReadNext(db.handle()) != 0) {
    if (props.count() != 1 || props[0].val.blob.dwCount != kChangeRecordSize) {
      ADD_FAILURE() << "malformed change record";
      continue;
    }
    const BYTE* b = props[0].val.blob.lpb;
    recs.push_back(Rec{b[0], Le32(b + 13), Le32(b + 9), Le32(b + 1)});
  }
  return recs;
}

// An ordinary class (24) with one tracked database holding a few records.
class OrdinaryCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MutexLock locked(&TrackingState::systemLock);
    SetClock(kNow);
    SetUptimeMs(120'000);
    db_ = fixture::CreateDb(u"Contacts", 24);
    for (DWORD i = 0; i < 3; ++i) {
      recs_.push_back(fixture::AddRecord(db_, {fixture::Ui4(0x10013, i)}));
    }
    ASSERT_TRUE(t_.trackedDbs.DiscoverClassDbs(24, false, 0));
    SetSyncState(t_.syncStates, 24, SyncStateTracking);
    log_ = t_.trackedDbs.pHead->pLog;
  }

  DWORD Notify(UINT message, CEOID oidRec) REQUIRES(TrackingState::systemLock) {
    return LogDbChange(t_, message, oidRec, db_);
  }

  hmtest::TempDevice device_;
  TrackingState t_;
  CEOID db_ = 0;
  std::vector<CEOID> recs_;
  ChangeLog* log_ = nullptr;
};

TEST_F(OrdinaryCaptureTest, RecordsEachNotificationWithItsTypeAndTrace) {
  platform::MutexLock locked(&TrackingState::systemLock);
  struct Case {
    UINT message;
    BYTE type;
    const char* text;
  };
  const Case cases[] = {
      {DB_CEOID_CREATED, ChangeTypeAdd, "Add"},
      {DB_CEOID_RECORD_DELETED, ChangeTypeDelete, "Delete"},
      {DB_CEOID_CHANGED, ChangeTypeModify, "Modify"},
      {0x999, ChangeTypeAdd, "(Unknown uiMessage 2457)"},
  };
  std::vector<Rec> expected;
  CEOID oid = 0x100;
  for (const Case& c : cases) {
    TraceCapture trace;
    ++oid;
    EXPECT_EQ(Notify(c.message, oid), 0u) << "case " << c.text;
    char line[128];
    std::snprintf(line, sizeof line,
                  "LogDbChange type = %s, oidRec = %08x, oidDb = %08x", c.text,
                  oid, db_);
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{line}) << "case " << c.text;
    expected.push_back(Rec{c.type, oid, kNoUid, kNow});
  }
  EXPECT_EQ(LogRecords(log_), expected);
}

// What capture ignores, it also says beforehand it will not write
// (CaptureMayWrite), so that the window can skip the store for it.
TEST_F(OrdinaryCaptureTest, IgnoresUntrackedDatabasesAndClassesNotTracking) {
  platform::MutexLock locked(&TrackingState::systemLock);
  EXPECT_TRUE(CaptureMayWrite(t_, db_));
  CEOID other = fixture::CreateDb(u"Other", 24);
  EXPECT_FALSE(CaptureMayWrite(t_, other));
  EXPECT_EQ(LogDbChange(t_, DB_CEOID_CHANGED, recs_[0], other), 0u);

  for (DWORD state : {SyncStateNone, SyncStateLost, 7u}) {
    SetSyncState(t_.syncStates, 24, state);
    EXPECT_FALSE(CaptureMayWrite(t_, db_)) << "state " << state;
    EXPECT_EQ(Notify(DB_CEOID_CHANGED, recs_[0]), 0u) << "state " << state;
  }
  EXPECT_TRUE(LogRecords(log_).empty());
  // A loss waiting to be written is written by the next capture, whatever
  // it is about.
  t_.syncStates.SetLossUnsaved(25, true);
  EXPECT_TRUE(CaptureMayWrite(t_, other));
}

TEST_F(OrdinaryCaptureTest, FiltersRepeatsWithinOneSecondOnly) {
  platform::MutexLock locked(&TrackingState::systemLock);
  // The first notification is never a repeat, even at time 0.
  SetClock(0);
  Notify(DB_CEOID_CHANGED, recs_[0]);
  SetClock(kNow);
  Notify(DB_CEOID_CHANGED, recs_[0]);
  Notify(DB_CEOID_CHANGED, recs_[0]);  // repeat
  Notify(DB_CEOID_CREATED, recs_[0]);  // another type
  Notify(DB_CEOID_CREATED, recs_[1]);  // another record
  SetClock(kNow + 1);
  Notify(DB_CEOID_CREATED, recs_[1]);  // one second later

  EXPECT_EQ(LogRecords(log_),
            (std::vector<Rec>{{ChangeTypeModify, recs_[0], kNoUid, 0},
                              {ChangeTypeModify, recs_[0], kNoUid, kNow},
                              {ChangeTypeAdd, recs_[0], kNoUid, kNow},
                              {ChangeTypeAdd, recs_[1], kNoUid, kNow},
                              {ChangeTypeAdd, recs_[1], kNoUid, kNow + 1}}));
}

TEST_F(OrdinaryCaptureTest, AFailedAppendLosesTheClassAndIsNotTakenForTheLastChange) {
  platform::MutexLock locked(&TrackingState::systemLock);
  Notify(DB_CEOID_CHANGED, recs_[0]);
  // The log's database is gone and cannot be made again for a moment.
  log_->DeleteLogDb();
  FailNext(Call::kCeCreateDatabase, ERROR_DISK_FULL);

  EXPECT_EQ(Notify(DB_CEOID_CHANGED, recs_[1]), kCaptureAppendFailed);
  EXPECT_EQ(t_.lastLogged.oidRec, recs_[0]);
  EXPECT_EQ(GetSyncState(t_.syncStates, 24), SyncStateLost);
  EXPECT_EQ(GetSyncTime(24), 0u);
  // A lost class records nothing until the peer enables it again.
  EXPECT_EQ(Notify(DB_CEOID_CHANGED, recs_[2]), 0u);
  EXPECT_TRUE(LogRecords(log_).empty());

  // Enabled again, the same notification in the same second is appended,
  // not filtered.
  SetSyncState(t_.syncStates, 24, SyncStateTracking);
  EXPECT_EQ(Notify(DB_CEOID_CHANGED, recs_[1]), 0u);
  EXPECT_EQ(LogRecords(log_),
            (std::vector<Rec>{{ChangeTypeModify, recs_[1], kNoUid, kNow}}));
}

// The window's queue behind a batch, as capture takes from it.
class QueuedNotifications final : public NotificationSource {
 public:
  bool Next(Notification* next) override {
    if (queue.empty()) return false;
    *next = queue.front();
    queue.pop_front();
    return true;
  }
  std::deque<Notification> queue;
};

TEST_F(OrdinaryCaptureTest, AGroupLandsWholeOrLosesItsClass) {
  for (bool commits : {true, false}) {
    SCOPED_TRACE(commits ? "committed" : "the commit fails");
    {
      platform::MutexLock locked(&TrackingState::systemLock);
      log_->DeleteLogDb();
      SetSyncState(t_.syncStates, 24, SyncStateTracking);
      SetSyncTime(24, 100);
      t_.lastLogged = LastLoggedChange{};
    }
    if (!commits) FailNext(Call::kCeEndTransaction, ERROR_DISK_FULL);
    // The second is a repeat within the group; the third waits in the queue
    // and joins the group.
    QueuedNotifications queued;
    queued.queue = {{DB_CEOID_CREATED, recs_[1], db_}};
    EXPECT_EQ(CaptureNotifications(
                  t_, {{DB_CEOID_CHANGED, recs_[0], db_}, {DB_CEOID_CHANGED, recs_[0], db_}},
                  queued, nullptr),
              commits ? 0 : 1);
    EXPECT_TRUE(queued.queue.empty());
    platform::MutexLock locked(&TrackingState::systemLock);
    if (commits) {
      EXPECT_EQ(LogRecords(log_), (std::vector<Rec>{{ChangeTypeModify, recs_[0], kNoUid, kNow},
                                                    {ChangeTypeAdd, recs_[1], kNoUid, kNow}}));
      EXPECT_EQ(GetSyncState(t_.syncStates, 24), SyncStateTracking);
      continue;
    }
    // Nothing of the group stays, the class is lost, and its changes do not
    // filter their repeats.
    EXPECT_TRUE(LogRecords(log_).empty());
    EXPECT_EQ(GetSyncState(t_.syncStates, 24), SyncStateLost);
    EXPECT_EQ(GetSyncTime(24), 0u);
    EXPECT_EQ(t_.lastLogged.bType, 0xFF);
    SetSyncState(t_.syncStates, 24, SyncStateTracking);
    EXPECT_EQ(Notify(DB_CEOID_CREATED, recs_[1]), 0u);
    EXPECT_EQ(LogRecords(log_), (std::vector<Rec>{{ChangeTypeAdd, recs_[1], kNoUid, kNow}}));
  }
}

// Each log takes its changes of the group in one write at the commit: a log
// whose write fails keeps nothing of the group and loses its class, the
// other log of the group keeps its changes in order, and the repeat filter
// keeps the last change that was written.
TEST_F(OrdinaryCaptureTest, AGroupLogThatCannotBeWrittenLosesItsClassAlone) {
  CEOID tasks = 0;
  ChangeLog* tasksLog = nullptr;
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    tasks = fixture::CreateDb(u"Tasks", 25);
    ASSERT_TRUE(t_.trackedDbs.DiscoverClassDbs(25, false, 0));
    tasksLog = t_.trackedDbs.FindTrackedByDb(tasks)->pLog;
  }
  struct Case {
    const char* name;
    int skip;  // record writes that succeed first: class 24 writes two
    DWORD lostClass;
  };
  const Case cases[] = {{"the first log fails", 0, 24}, {"the second log fails", 3, 25}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      platform::MutexLock locked(&TrackingState::systemLock);
      for (ChangeLog* log : {log_, tasksLog}) log->DeleteLogDb();
      for (DWORD dataClass : {24u, 25u}) {
        SetSyncState(t_.syncStates, dataClass, SyncStateTracking);
        SetSyncTime(dataClass, 100);
      }
      t_.lastLogged = LastLoggedChange{};
    }
    FailNext(Call::kCeWriteRecordProps, ERROR_DISK_FULL, 1, c.skip);
    QueuedNotifications queued;
    queued.queue = {{DB_CEOID_CHANGED, recs_[1], db_}, {DB_CEOID_CHANGED, 0x501, tasks}};
    EXPECT_EQ(CaptureNotifications(
                  t_, {{DB_CEOID_CHANGED, recs_[0], db_}, {DB_CEOID_CREATED, 0x500, tasks}},
                  queued, nullptr),
              1);
    platform::MutexLock locked(&TrackingState::systemLock);
    const std::vector<Rec> contacts = {{ChangeTypeModify, recs_[0], kNoUid, kNow},
                                       {ChangeTypeModify, recs_[1], kNoUid, kNow}};
    const std::vector<Rec> taskRecs = {{ChangeTypeAdd, 0x500, kNoUid, kNow},
                                       {ChangeTypeModify, 0x501, kNoUid, kNow}};
    const DWORD keptClass = c.lostClass == 24 ? 25 : 24;
    EXPECT_TRUE(LogRecords(c.lostClass == 24 ? log_ : tasksLog).empty());
    EXPECT_EQ(LogRecords(c.lostClass == 24 ? tasksLog : log_),
              c.lostClass == 24 ? taskRecs : contacts);
    EXPECT_EQ(GetSyncState(t_.syncStates, c.lostClass), SyncStateLost);
    EXPECT_EQ(GetSyncTime(c.lostClass), 0u);
    EXPECT_EQ(GetSyncState(t_.syncStates, keptClass), SyncStateTracking);
    EXPECT_EQ(t_.lastLogged.oidRec, c.lostClass == 24 ? 0x501u : recs_[1]);
  }
}

// The queue's messages join a group up to kCaptureGroupMax in all, those of
// the range that are no change notification counted and passed over; the
// rest wait for the next group.
TEST_F(OrdinaryCaptureTest, AGroupTakesFromTheQueueUpToItsSize) {
  QueuedNotifications queued;
  for (CEOID i = 0; i < static_cast<CEOID>(kCaptureGroupMax + 10); ++i) {
    queued.queue.push_back({i == 5 ? WM_USER + 2 : DB_CEOID_CHANGED, 0x1000 + i, db_});
  }
  EXPECT_EQ(CaptureNotifications(t_, {{DB_CEOID_CREATED, recs_[0], db_}}, queued, nullptr), 0);
  EXPECT_EQ(queued.queue.size(), 11u);
  platform::MutexLock locked(&TrackingState::systemLock);
  EXPECT_EQ(LogRecords(log_).size(), static_cast<size_t>(kCaptureGroupMax - 1));
}

// A batch capture would record nothing of is acknowledged as it is, without
// a group: nothing more is taken from the queue, nothing is recorded, and a
// suppressed capture does not even trace it.
TEST_F(OrdinaryCaptureTest, ABatchWithNothingToRecordTakesNothingMore) {
  const CEOID untracked = fixture::CreateDb(u"Other", 24);
  struct Case {
    const char* name;
    bool suppressed;
    CEOID oidDb;
    size_t traced;
  };
  for (const Case& c : {Case{"suppressed", true, db_, 0}, Case{"untracked", false, untracked, 2}}) {
    SCOPED_TRACE(c.name);
    t_.capture.fCaptureSuppressed.store(c.suppressed ? 1 : 0);
    QueuedNotifications queued;
    queued.queue = {{DB_CEOID_CHANGED, recs_[2], c.oidDb}};
    TraceCapture trace;
    EXPECT_EQ(CaptureNotifications(
                  t_, {{DB_CEOID_CHANGED, recs_[0], c.oidDb}, {DB_CEOID_CREATED, recs_[1], c.oidDb}},
                  queued, nullptr),
              0);
    EXPECT_EQ(trace.Lines().size(), c.traced);
    EXPECT_EQ(queued.queue.size(), 1u);
    platform::MutexLock locked(&TrackingState::systemLock);
    EXPECT_TRUE(LogRecords(log_).empty());
  }
}

TEST_F(OrdinaryCaptureTest, TakesTheUidFromTheMapWhenItHoldsTheRecord) {
  platform::MutexLock locked(&TrackingState::systemLock);
  t_.messageUids.AddMessageUid(recs_[2], 0x77);
  Notify(DB_CEOID_CHANGED, recs_[2]);
  EXPECT_EQ(LogRecords(log_),
            (std::vector<Rec>{{ChangeTypeModify, recs_[2], 0x77, kNow}}));
}

// A mail store with two folders, "Inbox" and "Sent", tracked as at start-up,
// on a device of its own.
struct MailWorld {
  MailWorld() {
    SetClock(kNow);
    SetUptimeMs(120'000);
    store = fixture::MakeMailStore();
    for (int i = 0; i < 4; ++i) msgs.push_back(fixture::AddMessage(store));
    inbox = fixture::MakeFolderDb(u"Inbox", {{msgs[0], 0xA0}});
    sent = fixture::MakeFolderDb(u"Sent", {{msgs[1], 0xB1}});
    fixture::NameFolders(store, {u"Inbox"});
    fixture::NameFolders(store, {u"Sent"});
    SetUpMailTracking(t, true);
    SetSyncState(t.syncStates, kMailDataClass, SyncStateTracking);
    EXPECT_NE(t.trackedDbs.pHead, nullptr);
    log = t.trackedDbs.pHead->pLog;
  }

  hmtest::TempDevice device;
  TrackingState t;
  fixture::MailStore store;
  std::vector<CEOID> msgs;
  fixture::Folder inbox;
  fixture::Folder sent;
  ChangeLog* log = nullptr;
};

TEST(MailCaptureTest, MailCases) {
  platform::MutexLock locked(&TrackingState::systemLock);
  struct Notification {
    UINT message;
    CEOID oidRec;
    CEOID oidDb;
  };
  struct Case {
    const char* name;
    // Changes the store as the mail program would and gives the
    // notification it causes.
    std::function<Notification(MailWorld&)> act;
    std::function<std::vector<Rec>(MailWorld&)> logged;
    std::function<std::vector<std::pair<CEOID, DWORD>>(MailWorld&)> mapped;
  };
  using Pairs = std::vector<std::pair<CEOID, DWORD>>;
  auto baseMap = [](MailWorld& f) {
    return Pairs{{f.msgs[0], 0xA0}, {f.msgs[1], 0xB1}};
  };
  const std::vector<Case> cases = {
      {"folder Add, oid then uid",
       [](MailWorld& f) {
         CEOID r = fixture::FileMessage(f.inbox.oidDb, {f.msgs[2], 0xC2});
         return Notification{DB_CEOID_CREATED, r, f.inbox.oidDb};
       },
       [](MailWorld& f) {
         return std::vector<Rec>{{ChangeTypeAdd, f.msgs[2], 0xC2, kNow}};
       },
       [&](MailWorld& f) {
         Pairs p = baseMap(f);
         p.emplace_back(f.msgs[2], 0xC2);
         return p;
       }},
      {"folder Add, uid then oid",
       [](MailWorld& f) {
         CEOID r = fixture::FileMessage(
             f.sent.oidDb, {f.msgs[2], 0xC2, fixture::Layout::kUidThenOid});
         return Notification{DB_CEOID_CREATED, r, f.sent.oidDb};
       },
       [](MailWorld& f) {
         return std::vector<Rec>{{ChangeTypeAdd, f.msgs[2], 0xC2, kNow}};
       },
       [&](MailWorld& f) {
         Pairs p = baseMap(f);
         p.emplace_back(f.msgs[2], 0xC2);
         return p;
       }},
      {"folder Modify keeps the map",
       [](MailWorld& f) {
         return Notification{DB_CEOID_CHANGED, f.inbox.records[0], f.inbox.oidDb};
       },
       [](MailWorld& f) {
         return std::vector<Rec>{{ChangeTypeModify, f.msgs[0], 0xA0, kNow}};
       },
       baseMap},
      {"folder Delete: nothing found, dropped",
       [](MailWorld& f) {
         fixture::DeleteRecord(f.inbox.oidDb, f.inbox.records[0]);
         return Notification{DB_CEOID_RECORD_DELETED, f.inbox.records[0],
                             f.inbox.oidDb};
       },
       [](MailWorld&) { return std::vector<Rec>{}; },
       baseMap},
      {"folder Add whose record has no uid, message unknown: dropped",
       [](MailWorld& f) {
         CEOID r = fixture::FileMessage(
             f.inbox.oidDb, {f.msgs[2], 0, fixture::Layout::kOidOnly});
         return Notification{DB_CEOID_CREATED, r, f.inbox.oidDb};
       },
       [](MailWorld&) { return std::vector<Rec>{}; },
       [&](MailWorld& f) {
         Pairs p = baseMap(f);
         p.emplace_back(f.msgs[2], kNoUid);
         return p;
       }},
      {"folder Add whose record has no uid, message in the map",
       [](MailWorld& f) {
         // Filed in Sent already; now also in Inbox without a uid.
         CEOID r = fixture::FileMessage(
             f.inbox.oidDb, {f.msgs[1], 0, fixture::Layout::kOidOnly});
         return Notification{DB_CEOID_CREATED, r, f.inbox.oidDb};
       },
       [](MailWorld& f) {
         return std::vector<Rec>{{ChangeTypeAdd, f.msgs[1], 0xB1, kNow}};
       },
       baseMap},
      {"message change, found in the second folder",
       [](MailWorld& f) {
         return Notification{DB_CEOID_CHANGED, f.msgs[1], f.store.oidMsgs};
       },
       [](MailWorld& f) {
         return std::vector<Rec>{{ChangeTypeModify, f.msgs[1], 0xB1, kNow}};
       },
       baseMap},
      {"message in two folders: the first folder's uid",
       [](MailWorld& f) {
         fixture::FileMessage(f.sent.oidDb, {f.msgs[0], 0xEE});
         return Notification{DB_CEOID_CHANGED, f.msgs[0], f.store.oidMsgs};
       },
       [](MailWorld& f) {
         return std::vector<Rec>{{ChangeTypeModify, f.msgs[0], 0xA0, kNow}};
       },
       baseMap},
      {"message no folder names: no uid",
       [](MailWorld& f) {
         return Notification{DB_CEOID_CREATED, f.msgs[3], f.store.oidMsgs};
       },
       [](MailWorld& f) {
         return std::vector<Rec>{{ChangeTypeAdd, f.msgs[3], kNoUid, kNow}};
       },
       baseMap},
      {"message deleted after its folder record: the map's uid",
       [](MailWorld& f) {
         fixture::DeleteRecord(f.inbox.oidDb, f.inbox.records[0]);
         fixture::DeleteRecord(f.store.oidMsgs, f.msgs[0]);
         return Notification{DB_CEOID_RECORD_DELETED, f.msgs[0], f.store.oidMsgs};
       },
       [](MailWorld& f) {
         return std::vector<Rec>{{ChangeTypeDelete, f.msgs[0], 0xA0, kNow}};
       },
       baseMap},
      {"mail not tracking: nothing, map untouched",
       [](MailWorld& f) {
         TrackingState::systemLock.AssertHeld();  // called by the test below
         SetSyncState(f.t.syncStates, kMailDataClass, SyncStateLost);
         CEOID r = fixture::FileMessage(f.inbox.oidDb, {f.msgs[2], 0xC2});
         return Notification{DB_CEOID_CREATED, r, f.inbox.oidDb};
       },
       [](MailWorld&) { return std::vector<Rec>{}; },
       baseMap},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MailWorld w;  // each case on a fresh device
    Notification n = c.act(w);
    EXPECT_EQ(LogDbChange(w.t, n.message, n.oidRec, n.oidDb), 0u)
        << "case " << c.name;
    EXPECT_EQ(LogRecords(w.log), c.logged(w)) << "case " << c.name;
    Pairs map;
    for (MessageUid* p = w.t.messageUids.FirstMessageUid(); p != nullptr;
         p = w.t.messageUids.NextMessageUid()) {
      map.emplace_back(p->oidMsg, p->dwUid);
    }
    std::sort(map.begin(), map.end());
    Pairs want = c.mapped(w);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(map, want) << "case " << c.name;
  }
}

TEST(MailCaptureTest, ASearchPutsANewFolderUnderNotification) {
  platform::MutexLock locked(&TrackingState::systemLock);
  MailWorld w;
  fixture::Folder drafts = fixture::MakeFolderDb(u"Drafts", {{w.msgs[2], 0xD2}});
  fixture::NameFolders(w.store, {u"Drafts"});
  ASSERT_EQ(w.t.mailFolders.FindMailFolderByDb(drafts.oidDb), nullptr);

  LogDbChange(w.t, DB_CEOID_CHANGED, w.msgs[2], w.store.oidMsgs);

  EXPECT_NE(w.t.mailFolders.FindMailFolderByDb(drafts.oidDb), nullptr);
  EXPECT_EQ(LogRecords(w.log),
            (std::vector<Rec>{{ChangeTypeModify, w.msgs[2], 0xD2, kNow}}));
}

TEST(MailCaptureTest, AFailingFolderIsPassedOver) {
  platform::MutexLock locked(&TrackingState::systemLock);
  MailWorld w;
  // The record count of Inbox cannot be had: Inbox is skipped and Sent is
  // searched. (The first information asked is pmailFolders'.)
  FailNext(Call::kCeOidGetInfo, ERROR_INVALID_PARAMETER, 1, 1);
  LogDbChange(w.t, DB_CEOID_CHANGED, w.msgs[1], w.store.oidMsgs);
  // With pmailFolders unreadable, the map gives the uid.
  FailNext(Call::kCeOidGetInfo, ERROR_INVALID_PARAMETER);
  SetClock(kNow + 1);
  LogDbChange(w.t, DB_CEOID_CHANGED, w.msgs[0], w.store.oidMsgs);

  EXPECT_EQ(LogRecords(w.log),
            (std::vector<Rec>{{ChangeTypeModify, w.msgs[1], 0xB1, kNow},
                              {ChangeTypeModify, w.msgs[0], 0xA0, kNow + 1}}));
}

// Every handle that a search opens is closed again, whichever step fails.
TEST(MailCaptureTest, TheSearchLeavesNoHandleOpen) {
  platform::MutexLock locked(&TrackingState::systemLock);
  struct Case {
    const char* name;
    Call call;  // kCount: nothing fails
    int skip;
  };
  const Case cases[] = {
      {"nothing fails", Call::kCount, 0},
      {"pmailFolders does not open", Call::kCeOpenDatabase, 0},
      {"pmailFolders seek", Call::kCeSeekDatabase, 0},
      {"first pmailFolders read", Call::kCeReadRecordProps, 0},
      {"first folder does not open", Call::kCeOpenDatabase, 1},
      {"first folder information", Call::kCeOidGetInfo, 1},
      {"first folder seek", Call::kCeSeekDatabase, 1},
      {"first folder read", Call::kCeReadRecordProps, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MailWorld w;
    // Handles are issued in increasing order and never reused: every handle
    // between two probes was issued during the call.
    auto probe = [&] {
      CEOID oid = w.store.oidMsgs;
      HANDLE h = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
      CloseHandle(h);
      return h;
    };
    HANDLE before = probe();
    if (c.call != Call::kCount) FailNext(c.call, ERROR_INVALID_PARAMETER, 1, c.skip);
    LogDbChange(w.t, DB_CEOID_CHANGED, w.msgs[1], w.store.oidMsgs);
    platform::fault::Clear();
    HANDLE after = probe();
    for (HANDLE h = before + 1; h < after; ++h) {
      EXPECT_FALSE(CloseHandle(h)) << "case " << c.name << ": handle " << h
                                   << " left open";
    }
  }
}

TEST(MailCaptureWithoutSetUpTest, MailIsNotTreatedAsMail) {
  platform::MutexLock locked(&TrackingState::systemLock);
  // As on a platform of major version 1: no mail set-up ran.
  hmtest::TempDevice device;
  TrackingState t;
  fixture::MailStore store = fixture::MakeMailStore();
  CEOID m = fixture::AddMessage(store);
  fixture::Folder inbox = fixture::MakeFolderDb(u"Inbox", {{m, 1}});
  fixture::NameFolders(store, {u"Inbox"});
  SetSyncState(t.syncStates, kMailDataClass, SyncStateTracking);

  EXPECT_EQ(LogDbChange(t, DB_CEOID_CHANGED, m, store.oidMsgs), 0u);
  EXPECT_EQ(LogDbChange(t, DB_CEOID_CREATED, inbox.records[0], inbox.oidDb), 0u);
  EXPECT_EQ(t.trackedDbs.pHead, nullptr);
  EXPECT_EQ(t.messageUids.pHead, nullptr);
  EXPECT_EQ(t.mailFolders.pHead, nullptr);
}

}  // namespace
