#include "tracking/tracked_db.h"

#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "platform/registry.h"
#include "settings/registry_store.h"
#include "settings/sync_state_cache.h"
#include "tests/support/temp_device.h"
#include "tracking/change_capture.h"
#include "tracking/change_log.h"
#include "tracking/change_log_checks.h"
#include "tracking/store_fixture.h"
#include "tracking/tracking_state.h"

namespace {

using platform::fault::Call;
using platform::fault::FailNext;
using platform::fault::SetClock;
using platform::fault::SetUptimeMs;

constexpr uint64_t kTenSeconds = 10'000;
constexpr uint64_t kTwoMinutes = 120'000;
constexpr DWORD kNow = 1'700'000'000;

std::u16string ClassLogName(DWORD dataClass) {
  WCHAR name[32];
  FormatClassLogName(dataClass, name, 32);
  return name;
}

// A change-log record the way the log keeps it, written behind the
// system's back, as a previous run would have left it.
void WriteLogRecord(CEOID logDb, BYTE type, DWORD time, CEOID oid) {
  BYTE blob[kChangeRecordSize];
  EncodeChangeRecord(type, time, 0, kNoUid, oid, blob);
  CEPROPVAL prop{};
  prop.propid = kChangeRecordPropId;
  prop.val.blob = CEBLOB{kChangeRecordSize, blob};
  fixture::AddRecord(logDb, {prop});
}

std::vector<CEOID> NodeOids(TrackedDbList& list) REQUIRES(TrackingState::systemLock) {
  std::vector<CEOID> oids;
  for (TrackedDb* n = list.FirstTracked(); n != nullptr; n = list.NextTracked()) {
    oids.push_back(n->oidDb);
  }
  return oids;
}

void SetPurgeDays(DWORD days) {
  HKEY key = CreateSettingsKey();
  ASSERT_NE(key, 0u);
  RegSetValueExW(key, u"PurgeDays", 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&days), sizeof days);
  RegCloseKey(key);
}

// The lost-log rule over a class that has a log from before the restart.
TEST(TrackedDbTest, DiscoveryKeepsALogOnlyRightAfterTheDeviceStarted) {
  platform::MutexLock locked(&TrackingState::systemLock);
  struct Case {
    const char* name;
    uint64_t uptimeMs;
    DWORD stateBefore;
    DWORD stateAfter;
    DWORD syncTimeAfter;
    int logRecordsAfter;
  };
  const Case cases[] = {
      {"tracked, 10 s after boot", kTenSeconds, SyncStateTracking,
       SyncStateTracking, 500, 1},
      {"tracked, 2 min after boot", kTwoMinutes, SyncStateTracking,
       SyncStateLost, 0, 0},
      {"untracked, 2 min after boot", kTwoMinutes, SyncStateNone,
       SyncStateNone, 500, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDevice device;
    fixture::CreateDb(u"Contacts", 24);
    CEOID oldLog = fixture::CreateDb(ClassLogName(24), 24 + 256);
    WriteLogRecord(oldLog, ChangeTypeAdd, 100, 0x1234);
    TrackingState t;
    SetSyncState(t.syncStates, 24, c.stateBefore);
    SetSyncTime(24, 500);
    SetUptimeMs(c.uptimeMs);

    EXPECT_TRUE(t.trackedDbs.DiscoverClassDbs(24, c.uptimeMs < 30'000, 0))
        << "case " << c.name;

    EXPECT_EQ(GetSyncState(t.syncStates, 24), c.stateAfter) << "case " << c.name;
    EXPECT_EQ(GetSyncTime(24), c.syncTimeAfter) << "case " << c.name;
    ASSERT_NE(t.trackedDbs.pHead, nullptr) << "case " << c.name;
    EXPECT_EQ(fixture::RecordCount(t.trackedDbs.pHead->pLog->LogDbOid()),
              c.logRecordsAfter)
        << "case " << c.name;
  }
}

TEST(TrackedDbTest, DiscoveryFailures) {
  platform::MutexLock locked(&TrackingState::systemLock);
  struct Case {
    const char* name;
    int databases;
    Call failing;  // kCount: nothing fails
    bool result;
    DWORD stateAfter;
    DWORD syncTimeAfter;
    size_t nodes;
  };
  const Case cases[] = {
      {"no database of the class", 0, Call::kCount, false, SyncStateLost, 0, 0},
      {"enumeration cannot start", 1, Call::kCeFindFirstDatabase, false,
       SyncStateTracking, 500, 0},
      {"a database does not open", 2, Call::kCeOpenDatabase, false,
       SyncStateLost, 0, 1},
      {"a log cannot be created", 2, Call::kCeCreateDatabase, false,
       SyncStateLost, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDevice device;
    for (int i = 0; i < c.databases; ++i) {
      fixture::CreateDb(u"Db" + std::u16string(1, u'0' + i), 25);
    }
    TrackingState t;
    SetSyncState(t.syncStates, 25, SyncStateTracking);
    SetSyncTime(25, 500);
    SetUptimeMs(kTenSeconds);
    if (c.failing != Call::kCount) FailNext(c.failing, ERROR_INVALID_PARAMETER);

    EXPECT_EQ(t.trackedDbs.DiscoverClassDbs(25, true, 0), c.result)
        << "case " << c.name;

    EXPECT_EQ(GetSyncState(t.syncStates, 25), c.stateAfter) << "case " << c.name;
    EXPECT_EQ(GetSyncTime(25), c.syncTimeAfter) << "case " << c.name;
    EXPECT_EQ(NodeOids(t.trackedDbs).size(), c.nodes) << "case " << c.name;
  }
}

TEST(TrackedDbTest, DiscoveryAgainAddsNothing) {
  platform::MutexLock locked(&TrackingState::systemLock);
  hmtest::TempDevice device;
  TrackingState t;
  CEOID a = fixture::CreateDb(u"A", 26);
  CEOID b = fixture::CreateDb(u"B", 26);
  SetUptimeMs(kTwoMinutes);

  EXPECT_TRUE(t.trackedDbs.DiscoverClassDbs(26, false, 0));
  EXPECT_TRUE(t.trackedDbs.DiscoverClassDbs(26, false, 0));

  EXPECT_EQ(NodeOids(t.trackedDbs), (std::vector<CEOID>{b, a}));
  EXPECT_EQ(GetSyncState(t.syncStates, 26), SyncStateNone);
}

// A class with two databases: each has its own log, the class's first
// keeps the class's log name, changes in either reach the class's readers
// with their own database, and a quick restart matches each log to its
// database again.
TEST(TrackedDbTest, EachDatabaseOfAClassHasItsOwnLog) {
  platform::MutexLock locked(&TrackingState::systemLock);
  hmtest::TempDevice device;
  SetClock(kNow);
  SetUptimeMs(kTwoMinutes);
  CEOID first = fixture::CreateDb(u"Tasks", 291);
  CEOID second = fixture::CreateDb(u"Tasks archive", 291);
  CEOID rec1 = fixture::AddRecord(first, {fixture::Ui4(0x10013, 1)});
  CEOID rec2 = fixture::AddRecord(second, {fixture::Ui4(0x10013, 2)});

  {
    TrackingState t;
    ASSERT_TRUE(t.trackedDbs.DiscoverClassDbs(291, false, 0));
    SetSyncState(t.syncStates, 291, SyncStateTracking);

    TrackedDb* firstNode = t.trackedDbs.FindTrackedByDb(first);
    TrackedDb* secondNode = t.trackedDbs.FindTrackedByDb(second);
    ASSERT_NE(firstNode, nullptr);
    ASSERT_NE(secondNode, nullptr);
    EXPECT_EQ(firstNode->pLog->LogDbOid(), fixture::FindDb(ClassLogName(291)));
    EXPECT_NE(secondNode->pLog->LogDbOid(), firstNode->pLog->LogDbOid());
    EXPECT_NE(secondNode->pLog->LogDbOid(), 0u);

    EXPECT_EQ(LogDbChange(t, DB_CEOID_CHANGED, rec1, first), 0u);
    EXPECT_EQ(LogDbChange(t, DB_CEOID_RECORD_DELETED, rec2, second), 0u);

    // A reader of the class sees both changes, each with its database.
    ASSERT_TRUE(t.trackedDbs.LoadClassLog(291));
    std::vector<std::pair<CEOID, CEOID>> seen;  // (oidDb, oidRec)
    for (TrackedDb* n = t.trackedDbs.FirstTrackedOfClass(291); n != nullptr;
         n = t.trackedDbs.NextTrackedOfClass(n)) {
      EXPECT_LIST_SOUND(n->pLog);
      for (ChangeEntry* e = n->pLog->FirstNewest(); e != nullptr;
           e = n->pLog->NextOlder()) {
        seen.emplace_back(n->oidDb, e->oidRec);
      }
    }
    EXPECT_EQ(seen, (std::vector<std::pair<CEOID, CEOID>>{{second, rec2},
                                                          {first, rec1}}));
    EXPECT_TRUE(t.trackedDbs.EndClassLog(291));
    EXPECT_LIST_SOUND(firstNode->pLog);
    EXPECT_LIST_SOUND(secondNode->pLog);
    EXPECT_EQ(firstNode->pLog->NewestEntry(), nullptr);
    EXPECT_EQ(secondNode->pLog->NewestEntry(), nullptr);
    EXPECT_FALSE(t.trackedDbs.LoadClassLog(24));

    // The program restarts (without closing its logs) 10 s after the boot.
    for (TrackedDb* n = t.trackedDbs.FirstTracked(); n != nullptr;
         n = t.trackedDbs.NextTracked()) {
      CloseHandle(n->hDb);
      CloseHandle(n->pLog->LogDbHandle());
    }
  }
  SetUptimeMs(kTenSeconds);
  TrackingState t;
  SetSyncState(t.syncStates, 291, SyncStateTracking);
  ASSERT_TRUE(t.trackedDbs.DiscoverClassDbs(291, true, 0));
  EXPECT_EQ(GetSyncState(t.syncStates, 291), SyncStateTracking);
  for (auto [db, rec] : {std::pair{first, rec1}, std::pair{second, rec2}}) {
    TrackedDb* n = t.trackedDbs.FindTrackedByDb(db);
    ASSERT_NE(n, nullptr);
    n->pLog->LoadLog();
    ASSERT_NE(n->pLog->FirstNewest(), nullptr);
    EXPECT_EQ(n->pLog->FirstNewest()->oidRec, rec);
    EXPECT_EQ(n->pLog->NextOlder(), nullptr);
    n->pLog->RewriteLog(false);
  }

  // Window close deletes every log of the class.
  EXPECT_TRUE(t.trackedDbs.CloseAllTracked());
  HANDLE logs = CeFindFirstDatabase(291 + 256);
  EXPECT_EQ(CeFindNextDatabase(logs), 0u) << "no change-log database is left";
  CloseHandle(logs);
}

// A database that goes while the system is not running leaves its own log
// behind, which nothing would ever open again. The next start deletes it,
// and the class, whose records went without a change each, is lost.
TEST(TrackedDbTest, AStartDeletesTheLogOfADatabaseThatWent) {
  platform::MutexLock locked(&TrackingState::systemLock);
  struct Case {
    const char* name;
    bool firstGoes;  // else the second goes
  } cases[] = {{"the second database goes", false}, {"the first database goes", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDevice device;
    SetClock(kNow);
    SetUptimeMs(kTwoMinutes);
    CEOID first = fixture::CreateDb(u"Tasks", 291);
    CEOID second = fixture::CreateDb(u"Tasks archive", 291);
    // Of the log type but not named as this system names a database's log.
    CEOID foreign = fixture::CreateDb(u"\\Hollowmarch Log 547 notahex", 291 + 256);
    CEOID foreignCase = fixture::CreateDb(u"\\Hollowmarch Log 547 00ABCDEF", 291 + 256);
    CEOID secondLog = 0;
    {
      TrackingState t;
      ASSERT_TRUE(t.trackedDbs.DiscoverClassDbs(291, false, 0));
      secondLog = t.trackedDbs.FindTrackedByDb(second)->pLog->LogDbOid();
      ASSERT_NE(secondLog, 0u);
      // Killed: nothing closes the logs.
      for (TrackedDb* n = t.trackedDbs.FirstTracked(); n != nullptr; n = t.trackedDbs.NextTracked()) {
        CloseHandle(n->hDb);
        CloseHandle(n->pLog->LogDbHandle());
      }
    }
    ASSERT_TRUE(CeDeleteDatabase(c.firstGoes ? first : second));

    SetUptimeMs(kTenSeconds);  // a quick restart keeps the logs
    TrackingState t;
    SetSyncState(t.syncStates, 291, SyncStateTracking);
    SetSyncTime(291, kNow);
    EXPECT_TRUE(t.trackedDbs.DiscoverClassDbs(291, true, 0));
    EXPECT_EQ(GetSyncState(t.syncStates, 291), SyncStateLost);
    EXPECT_EQ(GetSyncTime(291), 0u);
    CEOIDINFO info;
    EXPECT_FALSE(CeOidGetInfo(secondLog, &info)) << "the left log is deleted";
    EXPECT_TRUE(CeOidGetInfo(foreign, &info)) << "a name the system does not give stays";
    EXPECT_TRUE(CeOidGetInfo(foreignCase, &info));
    EXPECT_NE(fixture::FindDb(ClassLogName(291)), 0u) << "the class log is the staying node's";

    // Nothing is left over to delete at the next start.
    EXPECT_FALSE(t.trackedDbs.DeleteOrphanedLogs(291));
  }
}

TEST(TrackedDbTest, LogNamesFitTheStore) {
  for (DWORD dataClass : {24u, 25u, 26u, 291u, 5454u}) {
    WCHAR name[32];
    FormatDatabaseLogName(dataClass, 0xFFFFFFFF, name, 32);
    EXPECT_LE(std::u16string(name).size(), 31u);
  }
  EXPECT_EQ(ClassLogName(5454), u"\\Hollowmarch Change Log 5710");
  WCHAR name[32];
  FormatDatabaseLogName(24, 0x1a2b, name, 32);
  EXPECT_EQ(std::u16string(name), u"\\Hollowmarch Log 280 00001a2b");
}

class PurgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MutexLock locked(&TrackingState::systemLock);
    SetClock(kNow);
    SetUptimeMs(kTwoMinutes);
    db_ = fixture::CreateDb(u"Contacts", 24);
    ASSERT_TRUE(t_.trackedDbs.DiscoverClassDbs(24, false, 0));
    log_ = t_.trackedDbs.pHead->pLog;
    ASSERT_TRUE(SetSyncState(t_.syncStates, 24, SyncStateTracking));
  }

  // Entries at the given ages (seconds before now), loaded as a reader has
  // them; the oid of each is its index + 1.
  void LoadEntriesAged(const std::vector<int64_t>& ages) REQUIRES(TrackingState::systemLock) {
    for (size_t i = 0; i < ages.size(); ++i) {
      WriteLogRecord(log_->LogDbOid(), ChangeTypeModify,
                     static_cast<DWORD>(kNow - ages[i]), CEOID(i + 1));
    }
    ASSERT_TRUE(t_.trackedDbs.LoadClassLog(24));
    EXPECT_LIST_SOUND(log_);
  }

  // Checks the list first: a purge has just changed it.
  std::vector<CEOID> LoadedOids() REQUIRES(TrackingState::systemLock) {
    EXPECT_LIST_SOUND(log_);
    std::vector<CEOID> oids;
    for (ChangeEntry* e = log_->FirstOldest(); e != nullptr; e = log_->NextNewer()) {
      oids.push_back(e->oidRec);
    }
    return oids;
  }

  hmtest::TempDevice device_;
  TrackingState t_;
  CEOID db_ = 0;
  ChangeLog* log_ = nullptr;
};

TEST_F(PurgeTest, RemovesEntriesOlderThanPurgeDaysAndRaisesSyncTime) {
  platform::MutexLock locked(&TrackingState::systemLock);
  // 90 days (the default) is 7,776,000 s: exactly that old stays.
  LoadEntriesAged({7'776'001, 7'776'000, 10});
  SetSyncTime(24, 1000);

  EXPECT_TRUE(t_.trackedDbs.PurgeOldChanges());

  EXPECT_EQ(LoadedOids(), (std::vector<CEOID>{2, 3}));
  EXPECT_EQ(GetSyncTime(24), kNow - 7'776'000);
  EXPECT_EQ(fixture::RecordCount(log_->LogDbOid()), 3) << "the database is not touched";
}

TEST_F(PurgeTest, AnEntryStampedInTheFutureCountsAsVeryOld) {
  platform::MutexLock locked(&TrackingState::systemLock);
  // It is the newest entry, so the walk from the oldest reaches it once
  // everything before it has gone.
  LoadEntriesAged({7'776'001, -5});
  t_.trackedDbs.PurgeOldChanges();
  EXPECT_EQ(LoadedOids(), std::vector<CEOID>{});
}

TEST_F(PurgeTest, TouchesNoListOutsideAReader) {
  platform::MutexLock locked(&TrackingState::systemLock);
  WriteLogRecord(log_->LogDbOid(), ChangeTypeModify, 5, 1);
  t_.trackedDbs.PurgeOldChanges();
  ASSERT_TRUE(t_.trackedDbs.LoadClassLog(24));
  EXPECT_EQ(LoadedOids(), std::vector<CEOID>{1}) << "a purged entry comes back at the next load";
}

// The purge raises the horizon of a tracking class only, and never lowers
// it. A lost class keeps horizon 0: a purge that gave it one would let a
// later enable keep it, and a peer with an older anchor find the class
// complete.
TEST_F(PurgeTest, RaisesOnlyATrackingClassesSyncTime) {
  platform::MutexLock locked(&TrackingState::systemLock);
  struct Case {
    const char* name;
    DWORD state;
    DWORD purgeDays;
    DWORD syncTime;
    DWORD expected;
  } cases[] = {
      {"tracking, newer than the cutoff", SyncStateTracking, 90, kNow - 10, kNow - 10},
      {"tracking, older than the cutoff", SyncStateTracking, 1, 5, kNow - 86'400},
      {"lost", SyncStateLost, 1, 0, 0},
      {"none, with an old time", SyncStateNone, 1, 5, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetSyncState(t_.syncStates, 24, c.state);
    SetSyncTime(24, c.syncTime);
    SetPurgeDays(c.purgeDays);
    t_.trackedDbs.PurgeOldChanges();
    EXPECT_EQ(GetSyncTime(24), c.expected);
    EXPECT_EQ(GetSyncState(t_.syncStates, 24), c.state);
  }
}

// A limit beyond 49,710 days must not wrap around 32 bits into a short one.
TEST_F(PurgeTest, AHugePurgeDaysKeepsEverything) {
  platform::MutexLock locked(&TrackingState::systemLock);
  SetPurgeDays(50'000);
  LoadEntriesAged({400 * 86'400, 10});
  SetSyncTime(24, 1000);

  t_.trackedDbs.PurgeOldChanges();

  EXPECT_EQ(LoadedOids(), (std::vector<CEOID>{1, 2}));
  EXPECT_EQ(GetSyncTime(24), 1000u);
}

TEST(TrackedDbTest, RemovingNodesKeepsWalksGoing) {
  platform::MutexLock locked(&TrackingState::systemLock);
  hmtest::TempDevice device;
  SetUptimeMs(kTwoMinutes);
  TrackingState t;
  for (CEOID oid : {11u, 12u, 13u}) ASSERT_TRUE(t.trackedDbs.AddTrackedDb(24, 0, oid));
  // Head first: 13, 12, 11. Removing 12 at the cursor goes on with 11.
  std::vector<CEOID> seen;
  for (TrackedDb* n = t.trackedDbs.FirstTracked(); n != nullptr;
       n = t.trackedDbs.NextTracked()) {
    seen.push_back(n->oidDb);
    if (n->oidDb == 12) {
      EXPECT_TRUE(t.trackedDbs.RemoveTrackedDb(n));
    }
  }
  EXPECT_EQ(seen, (std::vector<CEOID>{13, 12, 11}));
  EXPECT_EQ(NodeOids(t.trackedDbs), (std::vector<CEOID>{13, 11}));
  EXPECT_FALSE(t.trackedDbs.RemoveTrackedDb(nullptr));

  EXPECT_TRUE(t.trackedDbs.FreeAllTracked());
  EXPECT_EQ(t.trackedDbs.pHead, nullptr);
  EXPECT_EQ(t.trackedDbs.pCursor, nullptr);
}

TEST(TrackedDbTest, ANodeThatCannotBeBuiltIsNotAdded) {
  platform::MutexLock locked(&TrackingState::systemLock);
  hmtest::TempDevice device;
  SetUptimeMs(kTwoMinutes);
  TrackingState t;
  FailNext(Call::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(t.trackedDbs.AddTrackedDb(24, 0, 5));
  FailNext(Call::kCeCreateDatabase, ERROR_DISK_FULL);
  EXPECT_FALSE(t.trackedDbs.AddTrackedDb(24, 0, 5));
  EXPECT_EQ(t.trackedDbs.pHead, nullptr);
  EXPECT_TRUE(t.trackedDbs.AddTrackedDb(24, 0, 5));
}

}  // namespace
