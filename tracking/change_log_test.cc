#include "tracking/change_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <tuple>
#include <random>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "platform/registry.h"
#include "settings/registry_store.h"
#include "settings/sync_state_cache.h"
#include "tests/support/temp_device.h"
#include "tracking/change_log_checks.h"
#include "tracking/clock.h"
#include "tracking/trace.h"

namespace {

using platform::fault::Call;
using platform::fault::FailNext;
using platform::fault::SetClock;
using platform::fault::SetStoreFreeBytes;
using platform::fault::SetUptimeMs;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr DWORD kClass = 24;
constexpr const char16_t* kLogName = u"\\Hollowmarch Change Log 280";
constexpr uint64_t kLowSpace = 3145728;

// One change as stored or listed, for comparisons.
struct Change {
  BYTE type;
  DWORD time;
  DWORD uid;
  CEOID oid;
  DWORD reserved = 0;
  bool operator==(const Change& o) const {
    return type == o.type && time == o.time && uid == o.uid && oid == o.oid &&
           reserved == o.reserved;
  }
};

std::ostream& operator<<(std::ostream& os, const Change& c) {
  return os << "{type " << int(c.type) << ", time " << c.time << ", uid " << c.uid
            << ", oid " << c.oid << ", reserved " << c.reserved << "}";
}

// Opens the class's log database by its name with a handle of our own.
HANDLE OpenLogByName() {
  CEOID oid = 0;
  return CeOpenDatabase(&oid, kLogName, 0, CEDB_AUTOINCREMENT, 0);
}

// Every record of the log database in file order; records that are not a
// 17-byte blob come back with oid 0 and type 0xFF.
std::vector<Change> StoredRecords() {
  std::vector<Change> records;
  HANDLE db = OpenLogByName();
  if (db == INVALID_HANDLE_VALUE) return records;
  for (;;) {
    WORD num = 0;
    LPBYTE buffer = nullptr;
    DWORD size = 0;
    if (CeReadRecordProps(db, CEDB_ALLOWREALLOC, &num, nullptr, &buffer, &size) == 0) break;
    auto* props = reinterpret_cast<CEPROPVAL*>(buffer);
    if (num == 1 && props[0].propid == kChangeRecordPropId &&
        props[0].val.blob.dwCount == kChangeRecordSize) {
      const BYTE* b = props[0].val.blob.lpb;
      auto le = [b](int at) {
        return DWORD(b[at]) | DWORD(b[at + 1]) << 8 | DWORD(b[at + 2]) << 16 |
               DWORD(b[at + 3]) << 24;
      };
      records.push_back(Change{b[0], le(1), le(9), le(13), le(5)});
    } else {
      records.push_back(Change{0xFF, 0, 0, 0});
    }
    LocalFree(buffer);
  }
  CloseHandle(db);
  return records;
}

bool LogDatabaseExists() {
  HANDLE db = OpenLogByName();
  if (db == INVALID_HANDLE_VALUE) return false;
  CloseHandle(db);
  return true;
}

// Appends a raw blob record to the log database, as another writer might.
void WriteRawBlob(const BYTE* bytes, DWORD count) {
  HANDLE db = OpenLogByName();
  ASSERT_NE(db, INVALID_HANDLE_VALUE);
  CEPROPVAL prop;
  std::memset(&prop, 0, sizeof(prop));
  prop.propid = kChangeRecordPropId;
  prop.val.blob.dwCount = count;
  prop.val.blob.lpb = const_cast<BYTE*>(bytes);
  ASSERT_NE(CeWriteRecordProps(db, 0, 1, &prop), 0u);
  CloseHandle(db);
}

void WriteRaw(const Change& c) {
  BYTE bytes[kChangeRecordSize];
  EncodeChangeRecord(c.type, c.time, c.reserved, c.uid, c.oid, bytes);
  WriteRawBlob(bytes, sizeof(bytes));
}

int64_t RegistryValue(const std::u16string& name) {
  HKEY key = OpenSettingsKey();
  if (key == 0) return -1;
  DWORD type = 0, data = 0, size = 4;
  LONG rc = RegQueryValueExW(key, name.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(&data), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? int64_t(data) : -1;
}

Change AsChange(const ChangeEntry* e) {
  return Change{e->bType, e->dwTime, e->dwUid, e->oidRec, e->dwReserved};
}

std::vector<CEOID> OidsNewestFirst(ChangeLog& log) REQUIRES(TrackingLock::systemLock) {
  std::vector<CEOID> oids;
  for (ChangeEntry* e = log.FirstNewest(); e != nullptr; e = log.NextOlder()) {
    oids.push_back(e->oidRec);
  }
  return oids;
}

class ChangeLogTest : public ::testing::Test {
 protected:
  // Binds the log anew as a quick restart does (just booted, so the log is
  // kept): the log then knows nothing of its records until it reads them.
  void RebindAfterAQuickRestart() REQUIRES(TrackingLock::systemLock) {
    log_.ForgetDatabase();
    EXPECT_LIST_SOUND(log_);
    SetUptimeMs(10000);
    ASSERT_TRUE(log_.OpenLog(kClass));
    SetUptimeMs(600000);
  }

  void SetUp() override {
    platform::MutexLock locked(&TrackingLock::systemLock);
    SetUptimeMs(600000);  // not just booted: a new log starts empty
    SetClock(1000);
    ASSERT_TRUE(log_.OpenLog(kClass));
  }
  void TearDown() override {
    platform::MutexLock locked(&TrackingLock::systemLock);
    EXPECT_LIST_SOUND(log_);
  }

  // Records `count` changes of distinct records at times first, first+1, ...
  void Seed(int count, DWORD first_time = 100, CEOID first_oid = 1000)
      REQUIRES(TrackingLock::systemLock) {
    for (int i = 0; i < count; ++i) {
      ASSERT_TRUE(log_.WriteEntry(ChangeTypeModify, first_time + i, first_oid + i, kNoUid));
    }
  }

  void Track(DWORD sync_time) {
    ASSERT_TRUE(SetSyncState(cache_, kClass, SyncStateTracking));
    ASSERT_TRUE(SetSyncTime(kClass, sync_time));
  }

  void ExpectRegistryState(DWORD state, DWORD sync_time, const char* why) {
    EXPECT_EQ(RegistryValue(u"SyncState_24"), state) << why;
    EXPECT_EQ(RegistryValue(u"SyncTime_24"), sync_time) << why;
  }

  hmtest::TempDevice device_;
  SyncStateCache cache_;
  ChangeLog log_{cache_};
};

TEST_F(ChangeLogTest, AppendWritesOneLittleEndianRecordInTheClassDatabase) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  EXPECT_EQ(log_.LogType(), 280u);
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(log_.LogDbOid(), &info));
  EXPECT_EQ(info.infDatabase.dwDbaseType, 280u);
  EXPECT_EQ(std::u16string(info.infDatabase.szDbaseName), kLogName);

  SetClock(0x11223344);
  ASSERT_TRUE(log_.AppendChange(ChangeTypeModify, 0x01020304, 0xAABBCCDD));
  EXPECT_LIST_SOUND(log_);

  HANDLE db = OpenLogByName();
  WORD num = 0;
  LPBYTE buffer = nullptr;
  DWORD size = 0;
  ASSERT_NE(CeReadRecordProps(db, CEDB_ALLOWREALLOC, &num, nullptr, &buffer, &size), 0u);
  auto* prop = reinterpret_cast<CEPROPVAL*>(buffer);
  ASSERT_EQ(num, 1);
  EXPECT_EQ(prop->propid, 0x00010041u);
  ASSERT_EQ(prop->val.blob.dwCount, 17u);
  std::vector<BYTE> bytes(prop->val.blob.lpb, prop->val.blob.lpb + 17);
  EXPECT_THAT(bytes, ElementsAre(3, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0xDD, 0xCC,
                                 0xBB, 0xAA, 4, 3, 2, 1));
  LocalFree(buffer);
  CloseHandle(db);
  EXPECT_EQ(log_.NewestEntry(), nullptr) << "appending leaves the list alone";
}

TEST(ChangeLogOpenTest, KeepsTheLogOnlyWithinThirtySecondsOfBoot) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  struct Case {
    uint64_t uptime_ms;
    size_t records;
  } cases[] = {{29999, 1}, {30000, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "uptime " << c.uptime_ms << " ms");
    hmtest::TempDevice device;
    SyncStateCache cache;
    SetUptimeMs(600000);
    {
      ChangeLog before(cache);
      ASSERT_TRUE(before.OpenLog(kClass));
      ASSERT_TRUE(before.AppendChange(ChangeTypeAdd, 7, kNoUid));
      EXPECT_LIST_SOUND(before);
      CloseHandle(before.LogDbHandle());  // the program stops
    }
    SetUptimeMs(c.uptime_ms);
    ChangeLog after(cache);
    EXPECT_TRUE(after.OpenLog(kClass)) << "case " << c.uptime_ms;
    EXPECT_NE(after.LogDbHandle(), INVALID_HANDLE_VALUE) << "case " << c.uptime_ms;
    EXPECT_EQ(StoredRecords().size(), c.records) << "case " << c.uptime_ms;
  }
}

// Two records for one changed record: which one the load keeps, and what
// it traces.
TEST_F(ChangeLogTest, LoadResolvesDuplicatesOfOneRecord) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  constexpr CEOID A = 0x42;
  struct Case {
    const char* name;
    Change prior, read, kept;
    std::vector<std::string> traces;
  } cases[] = {
      {"newer replaces and keeps the prior uid",
       {ChangeTypeAdd, 5, 0x11, A}, {ChangeTypeModify, 9, 0x22, A}, {ChangeTypeModify, 9, 0x11, A},
       {"Newer time is 00000009", "Time of prior (removed) is 00000005"}},
      {"newer takes its own uid when the prior has none",
       {ChangeTypeAdd, 5, kNoUid, A}, {ChangeTypeModify, 9, 0x22, A}, {ChangeTypeModify, 9, 0x22, A},
       {"Newer time is 00000009", "Time of prior (removed) is 00000005"}},
      {"top bit set is newer",
       {ChangeTypeAdd, 0x7FFFFFFF, kNoUid, A}, {ChangeTypeModify, 0x80000000, kNoUid, A},
       {ChangeTypeModify, 0x80000000, kNoUid, A},
       {"Newer time is 80000000", "Time of prior (removed) is 7fffffff"}},
      {"an older record with a uid replaces an entry without",
       {ChangeTypeModify, 9, kNoUid, A}, {ChangeTypeAdd, 5, 0x33, A}, {ChangeTypeAdd, 5, 0x33, A},
       {"Time of Newer duplicate is 00000005", "OID of prior (removed) is 00000042",
        "Time of prior (removed) is 00000009"}},
      {"an older record is skipped",
       {ChangeTypeModify, 9, 0x11, A}, {ChangeTypeAdd, 5, kNoUid, A}, {ChangeTypeModify, 9, 0x11, A},
       {"Time is 00000005", "OID of prior (kept, current skipped) is 00000042",
        "Time of prior (kept, current skipped) is 00000009"}},
      {"equal time: a delete replaces",
       {ChangeTypeModify, 7, kNoUid, A}, {ChangeTypeDelete, 7, kNoUid, A}, {ChangeTypeDelete, 7, kNoUid, A},
       {" Duplicate time is 00000007", " prior Type is 3", " new Type is 1", "Time is 00000007",
        "OID of prior (removed non-delete) is 00000042",
        "Time of prior (removed non-delete) is 00000007"}},
      {"equal time: anything else is dropped",
       {ChangeTypeModify, 7, 0x11, A}, {ChangeTypeAdd, 7, kNoUid, A}, {ChangeTypeModify, 7, 0x11, A},
       {" Duplicate time is 00000007", " prior Type is 3", " new Type is 0", "Time is 00000007",
        "OID of prior (kept, current skipped) is 00000042",
        "Time of prior (kept, current skipped) is 00000007"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(log_.DeleteLogDb());
    ASSERT_TRUE(log_.CreateLogDb());
    WriteRaw(c.prior);
    WriteRaw({ChangeTypeAdd, 6, kNoUid, 0x77});
    WriteRaw(c.read);
    TraceCapture traces;
    ASSERT_TRUE(log_.LoadLog()) << "case " << c.name;
    EXPECT_LIST_SOUND(log_);
    EXPECT_TRUE(log_.NeedsRewrite()) << "case " << c.name;
    std::vector<std::string> expected = {"Duplicate Record Node(s) found with OID 00000042"};
    expected.insert(expected.end(), c.traces.begin(), c.traces.end());
    EXPECT_EQ(traces.Lines(), expected) << "case " << c.name;
    ChangeEntry* entry = log_.FindEntry(A);
    ASSERT_NE(entry, nullptr) << "case " << c.name;
    EXPECT_EQ(AsChange(entry), c.kept) << "case " << c.name;

    ASSERT_TRUE(log_.RewriteLog(false)) << "case " << c.name;
    EXPECT_LIST_SOUND(log_);
    std::vector<Change> stored = StoredRecords();
    EXPECT_EQ(std::count_if(stored.begin(), stored.end(),
                            [](const Change& s) { return s.oid == A; }), 1)
        << "case " << c.name;
    EXPECT_EQ(stored.size(), 2u) << "case " << c.name;
    EXPECT_EQ(log_.NewestEntry(), nullptr) << "case " << c.name << ": the rewrite releases the list";
  }
}

TEST_F(ChangeLogTest, RewriteOnlyFollowsALoadThatMetDuplicates) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Seed(3);
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  EXPECT_FALSE(log_.NeedsRewrite());
  CEOID before = log_.LogDbOid();
  ASSERT_TRUE(log_.RewriteLog(false));
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(log_.LogDbOid(), before) << "no duplicates: the database stays";

  WriteRaw({ChangeTypeAdd, 5, kNoUid, 0xA});
  WriteRaw({ChangeTypeModify, 9, kNoUid, 0xA});
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.RewriteLog(false));
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(StoredRecords().size(), 4u);
  // A second request without a load in between must not rebuild the log
  // from the (now empty) list.
  ASSERT_TRUE(log_.RewriteLog(false));
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(StoredRecords().size(), 4u);
}

TEST_F(ChangeLogTest, RewriteZeroesTheReservedField) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  WriteRaw({ChangeTypeAdd, 5, kNoUid, 0xA, /*reserved=*/0xDEADBEEF});
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(log_.FirstNewest()->dwReserved, 0xDEADBEEFu) << "a read value is carried";
  ASSERT_TRUE(log_.RewriteLog(true));
  EXPECT_LIST_SOUND(log_);
  EXPECT_THAT(StoredRecords(), ElementsAre(Change{ChangeTypeAdd, 5, kNoUid, 0xA, 0}));
}

TEST_F(ChangeLogTest, InsertKeepsUnsignedTimeOrderAndPutsEqualTimesOlder) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, 1, 7, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, 2, 7, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, 3, 7, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, 4, 0x80000000, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, 5, 0x7FFFFFFF, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, 6, 1, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
  EXPECT_THAT(OidsNewestFirst(log_), ElementsAre(4, 5, 1, 2, 3, 6));
  EXPECT_EQ(log_.EntriesInserted(), 6u);

  FailNext(Call::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(log_.InsertEntry(ChangeTypeAdd, 9, 8, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(log_.EntriesInserted(), 6u);
  EXPECT_EQ(log_.FindEntry(9), nullptr);
}

// A log written in bursts holds long runs of one second; each record of a
// run lists older than those read before it, and entries of other times
// still find their place around the run, also after the run's oldest or
// newest entry went.
TEST_F(ChangeLogTest, ALoadOfOneSecondKeepsTheOrderOfTheRecords) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  constexpr CEOID kRun = 60000;
  ASSERT_TRUE(CeBeginTransaction());
  for (CEOID oid = 1; oid <= kRun; ++oid) {
    ASSERT_TRUE(log_.WriteEntry(ChangeTypeModify, 7, oid, kNoUid));
  }
  ASSERT_TRUE(CeEndTransaction(TRUE));
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(log_.EntriesInserted(), kRun);
  std::vector<CEOID> expected(kRun);
  for (CEOID oid = 1; oid <= kRun; ++oid) expected[oid - 1] = oid;
  EXPECT_EQ(OidsNewestFirst(log_), expected) << "newest first is the order of reading";

  ASSERT_TRUE(log_.RemoveEntry(log_.OldestEntry()));           // the run's last-read entry
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, 90001, 7, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, 90002, 5, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, 90003, 9, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.RemoveEntry(log_.NewestEntry()));          // 90003 again
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, 90004, 7, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, 90005, 6, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
  std::vector<CEOID> oids = OidsNewestFirst(log_);
  ASSERT_EQ(oids.size(), kRun + 3);
  EXPECT_EQ(oids[0], 1u);
  EXPECT_THAT(std::vector<CEOID>(oids.end() - 5, oids.end()),
              ElementsAre(kRun - 1, 90001, 90004, 90005, 90002));
  log_.FreeEntries();
  EXPECT_LIST_SOUND(log_);
}

TEST_F(ChangeLogTest, IterationRestartsAndRemovalKeepsTheWalkGoing) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  for (CEOID oid = 1; oid <= 4; ++oid) {
    ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, oid, oid, 0, kNoUid));
    EXPECT_LIST_SOUND(log_);
  }
  // Past the oldest, one more step starts again at the newest.
  EXPECT_EQ(log_.FirstNewest()->oidRec, 4u);
  for (int i = 0; i < 3; ++i) log_.NextOlder();
  EXPECT_EQ(log_.NextOlder(), nullptr);
  EXPECT_EQ(log_.NextOlder()->oidRec, 4u);

  // A newest-first walk that removes its current entry visits every entry.
  std::vector<CEOID> visited;
  for (ChangeEntry* e = log_.FirstNewest(); e != nullptr; e = log_.NextOlder()) {
    visited.push_back(e->oidRec);
    if (e->oidRec == 3 || e->oidRec == 4) {
      ASSERT_TRUE(log_.RemoveEntry(e));
      EXPECT_LIST_SOUND(log_);
    }
  }
  EXPECT_THAT(visited, ElementsAre(4, 3, 2, 1));
  EXPECT_THAT(OidsNewestFirst(log_), ElementsAre(2, 1));

  // Removing the oldest in an oldest-first walk continues at the new oldest.
  ChangeEntry* oldest = log_.FirstOldest();
  ASSERT_TRUE(log_.RemoveEntry(oldest));
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(log_.NextNewer()->oidRec, 2u);
  EXPECT_FALSE(log_.RemoveEntry(nullptr));
  EXPECT_LIST_SOUND(log_);
  EXPECT_TRUE(log_.FreeEntries());
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(log_.FirstNewest(), nullptr);
  EXPECT_EQ(log_.FindEntry(2), nullptr);
}

// The index must give exactly what a newest-first walk gives, with the
// cursor where that walk would stop, through inserts and removals.
TEST_F(ChangeLogTest, CursorsOfAReleasedListAreStaleEvenAfterAReload) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Seed(3);  // oids 1000..1002 at times 100..102
  ASSERT_TRUE(log_.LoadLog());
  const ChangeCursor newest = log_.NewestCursor();
  std::vector<CEOID> walked;
  ChangeCursor at = newest;
  for (const ChangeEntry* e = log_.At(at); e != nullptr; e = log_.At(at)) {
    walked.push_back(e->oidRec);
    at = log_.OlderCursor(at);
  }
  EXPECT_THAT(walked, ElementsAre(1002u, 1001u, 1000u));
  EXPECT_TRUE(at.AtEnd());
  EXPECT_TRUE(log_.IsCurrent(at)) << "the end of a current list is current";
  EXPECT_EQ(log_.OlderCursor(at), at) << "past the end stays there";

  ASSERT_TRUE(log_.FreeEntries());
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  EXPECT_FALSE(log_.IsCurrent(newest));
  EXPECT_EQ(log_.At(newest), nullptr) << "whatever now lives at the old address";
  EXPECT_FALSE(log_.IsCurrent(log_.OlderCursor(newest)));
  EXPECT_EQ(log_.At(log_.NewestCursor())->oidRec, 1002u);

  ChangeLog other(cache_);
  EXPECT_FALSE(log_.IsCurrent(other.NewestCursor())) << "another log's cursor";
  EXPECT_FALSE(log_.IsCurrent(ChangeCursor()));
}

TEST_F(ChangeLogTest, ARemovalLeavesCursorsCurrentButNoLongerReadable) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Seed(3);
  ASSERT_TRUE(log_.LoadLog());
  const ChangeCursor newest = log_.NewestCursor();
  const ChangeCursor oldest = log_.OlderCursor(log_.OlderCursor(newest));
  ASSERT_NE(log_.At(oldest), nullptr);
  ASSERT_TRUE(log_.RemoveEntry(log_.NewestEntry()));
  EXPECT_LIST_SOUND(log_);
  for (const ChangeCursor& c : {newest, oldest}) {
    EXPECT_TRUE(log_.IsCurrent(c)) << "still a key of the list";
    EXPECT_FALSE(log_.IsIntact(c));
    EXPECT_EQ(log_.At(c), nullptr) << "not read through, even on an entry that stays";
    EXPECT_EQ(log_.OlderCursor(c), c) << "no step from it";
  }
  const ChangeCursor now = log_.NewestCursor();
  EXPECT_TRUE(log_.IsIntact(now));
  EXPECT_EQ(log_.At(now)->oidRec, 1001u);
}

// The check must see a broken list, not only pass a sound one. Each case
// damages one entry in place and puts it back.
TEST_F(ChangeLogTest, CheckInvariantsNamesWhatBroke) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Seed(4);  // oids 1000..1003 at times 100..103
  ASSERT_TRUE(log_.LoadLog());
  ASSERT_TRUE(ListSound(log_));
  struct Case {
    const char* name;
    DWORD ChangeEntry::*field;
    DWORD value;
    const char* broken;
  } cases[] = {
      {"a time newer than the entry above it", &ChangeEntry::dwTime, 500, "time order"},
      {"a record the index does not know", &ChangeEntry::oidRec, 77, "not indexed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* e = const_cast<ChangeEntry*>(log_.OldestEntry()->pNewer);
    const DWORD saved = e->*c.field;
    e->*c.field = c.value;
    const char* broken = log_.CheckInvariants();
    e->*c.field = saved;
    ASSERT_NE(broken, nullptr);
    EXPECT_THAT(broken, ::testing::HasSubstr(c.broken));
    EXPECT_LIST_SOUND(log_);
  }
  // A reader may insert a second entry of a record; that breaks nothing.
  ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, 1001, 200, 0, kNoUid));
  EXPECT_LIST_SOUND(log_);
}

TEST_F(ChangeLogTest, FindEntryAnswersLikeAWalkOfTheList) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  std::mt19937 random(7);
  auto walk = [&](CEOID oid) REQUIRES(TrackingLock::systemLock) {
    ChangeEntry* e = log_.FirstNewest();
    while (e != nullptr && e->oidRec != oid) e = log_.NextOlder();
    return e;
  };
  for (int step = 0; step < 3000; ++step) {
    CEOID oid = random() % 200;
    if (random() % 3 != 0) {
      ASSERT_TRUE(log_.InsertEntry(ChangeTypeAdd, oid, random() % 40, 0, kNoUid));
      EXPECT_LIST_SOUND(log_);
    } else if (ChangeEntry* e = walk(oid)) {
      ASSERT_TRUE(log_.RemoveEntry(e));
      EXPECT_LIST_SOUND(log_);
    }
    CEOID probe = random() % 200;
    ChangeEntry* expected = walk(probe);
    const ChangeEntry* expected_cursor = log_.CursorEntry();
    log_.FirstOldest();  // disturb the cursor first
    ASSERT_EQ(log_.FindEntry(probe), expected) << "step " << step << " oid " << probe;
    ASSERT_EQ(log_.CursorEntry(), expected_cursor) << "step " << step;
    ASSERT_FALSE(log_.WalksOldestFirst()) << "step " << step;
  }
}

TEST_F(ChangeLogTest, LoadThatStopsOnAReadErrorKeepsWhatItRead) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Seed(5);
  FailNext(Call::kCeReadRecordProps, ERROR_NOT_ENOUGH_MEMORY, 1, /*skip=*/3);
  EXPECT_FALSE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(OidsNewestFirst(log_).size(), 3u);
}

TEST_F(ChangeLogTest, LoadLeavesOutRecordsThatHoldNoChange) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  const BYTE short_blob[3] = {1, 2, 3};
  WriteRawBlob(short_blob, sizeof(short_blob));
  Seed(1);
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  EXPECT_THAT(OidsNewestFirst(log_), ElementsAre(1000));
}

TEST_F(ChangeLogTest, DeleteEntryRecordDeletesOnlyTheFirstMatch) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  WriteRaw({ChangeTypeAdd, 5, kNoUid, 0xA});
  WriteRaw({ChangeTypeAdd, 6, kNoUid, 0xB});
  WriteRaw({ChangeTypeModify, 7, kNoUid, 0xA});
  ChangeEntry absent = {};
  absent.oidRec = 0xC;
  EXPECT_TRUE(log_.DeleteEntryRecord(&absent)) << "read to the end: true";
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  ChangeEntry* a = log_.FindEntry(0xA);
  ASSERT_TRUE(log_.DeleteEntryRecord(a));
  ASSERT_TRUE(log_.RemoveEntry(a));
  EXPECT_LIST_SOUND(log_);
  EXPECT_THAT(StoredRecords(), ElementsAre(Change{ChangeTypeAdd, 6, kNoUid, 0xB},
                                           Change{ChangeTypeModify, 7, kNoUid, 0xA}));
}

// A trim runs when the database holds 100 records or more and at most 3 MB
// are free; with 100 distinct records it keeps 90.
TEST(ChangeLogTrimTest, TrimsAtOneHundredRecordsAndThreeMegabytes) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  struct Case {
    int records;
    uint64_t free_bytes;
    size_t after_append;
  } cases[] = {
      {99, kLowSpace, 100},
      {100, kLowSpace, 91},
      {100, kLowSpace + 1, 101},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.records << " records, " << c.free_bytes << " free");
    hmtest::TempDevice device;
    SyncStateCache cache;
    SetUptimeMs(600000);
    SetClock(1000);
    ChangeLog log(cache);
    ASSERT_TRUE(log.OpenLog(kClass));
    for (int i = 0; i < c.records; ++i) {
      ASSERT_TRUE(log.WriteEntry(ChangeTypeModify, 100 + i, 1000 + i, kNoUid));
    }
    SetStoreFreeBytes(c.free_bytes);
    ASSERT_TRUE(log.AppendChange(ChangeTypeAdd, 1, kNoUid));
    EXPECT_LIST_SOUND(log);
    EXPECT_EQ(StoredRecords().size(), c.after_append)
        << "case " << c.records << " records, " << c.free_bytes << " free";
    EXPECT_EQ(log.FreeBytes(), c.records >= 100 ? c.free_bytes : ChangeLog::kUnknownFreeBytes)
        << "case " << c.records << " records: the space is asked only when a trim may be due";
  }
}

// The list a reader would load from a class's log, newest first, read
// through a log object of its own so that the log under test learns
// nothing from it.
std::vector<Change> Listed(DWORD dataClass) REQUIRES(TrackingLock::systemLock) {
  SetUptimeMs(10000);  // keeps the database as it is
  SyncStateCache cache;
  ChangeLog reader(cache);
  std::vector<Change> listed;
  EXPECT_TRUE(reader.OpenLog(dataClass));
  EXPECT_TRUE(reader.KeptOnOpen());
  EXPECT_TRUE(reader.LoadLog());
  EXPECT_LIST_SOUND(reader);
  for (ChangeEntry* e = reader.FirstNewest(); e != nullptr; e = reader.NextOlder()) {
    Change c = AsChange(e);
    c.reserved = 0;
    listed.push_back(c);
  }
  reader.FreeEntries();
  EXPECT_LIST_SOUND(reader);
  CloseHandle(reader.LogDbHandle());
  SetUptimeMs(600000);
  return listed;
}

// Makes `to`'s database a copy of `from`'s, record for record.
void CopyLog(const ChangeLog& from, ChangeLog& to) REQUIRES(TrackingLock::systemLock) {
  to.DeleteLogDb();
  ASSERT_TRUE(to.CreateLogDb());
  CEOID oid = from.LogDbOid();
  HANDLE source = CeOpenDatabase(&oid, nullptr, 0, CEDB_AUTOINCREMENT, 0);
  ASSERT_NE(source, INVALID_HANDLE_VALUE);
  for (;;) {
    WORD num = 0;
    LPBYTE buffer = nullptr;
    DWORD size = 0;
    if (CeReadRecordProps(source, CEDB_ALLOWREALLOC, &num, nullptr, &buffer, &size) == 0) break;
    EXPECT_NE(CeWriteRecordProps(to.LogDbHandle(), 0, num, reinterpret_cast<CEPROPVAL*>(buffer)), 0u);
    LocalFree(buffer);
  }
  CloseHandle(source);
}

std::vector<Change> Sorted(std::vector<Change> changes) {
  std::sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) {
    return std::tie(a.time, a.oid, a.type, a.uid) < std::tie(b.time, b.oid, b.type, b.uid);
  });
  return changes;
}

// The trim as first written: load, cut the oldest, rewrite the whole log.
void TrimByRewrite(ChangeLog& log) REQUIRES(TrackingLock::systemLock) {
  ASSERT_TRUE(log.LoadLog());
  EXPECT_LIST_SOUND(log);
  CEOID oid = log.LogDbOid();
  HANDLE db = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
  DWORD last = 0;
  const int64_t records = CeSeekDatabase(db, CEDB_SEEK_END, 0, &last) != 0 ? int64_t{last} + 1 : 0;
  CloseHandle(db);
  if (records < 100) {
    log.FreeEntries();
    EXPECT_LIST_SOUND(log);
    return;
  }
  int64_t n = std::max<int64_t>(0, int64_t{log.EntriesInserted()} - records + 10);
  ChangeEntry* e = log.FirstOldest();
  DWORD lastRemoved = 0;
  for (int64_t i = 0; i < n; ++i) {
    lastRemoved = e->dwTime;
    log.RemoveEntry(e);
    e = log.NextNewer();
  }
  EXPECT_LIST_SOUND(log);
  // Complete from the oldest entry kept, or from the second after it when
  // part of its second went; never earlier than before.
  DWORD oldest = log.OldestEntry() != nullptr ? log.OldestEntry()->dwTime : CurrentTime();
  if (n > 0 && log.OldestEntry() != nullptr && lastRemoved == oldest) ++oldest;
  const DWORD before = GetSyncTime(log.DataClass());
  ASSERT_TRUE(log.RewriteLog(true));
  EXPECT_LIST_SOUND(log);
  ASSERT_TRUE(SetSyncTime(log.DataClass(), std::max(before, oldest)));
}

// A trim deletes in place what it trims, and its outcome is the rewrite's
// from the same log: the same entries, the same sync time. (The order within
// one second may differ: a rewrite turns it round, records deleted around
// others do not.) Logs of every shape: runs of one second (cut inside a
// run), records of one changed record (whose entries take other records'
// uids), a clock that went back, records that hold no change. Several
// appends each, so that the trims after the first work from what the log
// learnt.
TEST(ChangeLogTrimTest, TrimInPlaceLeavesWhatARewriteLeaves) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  struct Case {
    const char* name;
    int records;
    int burst;       // records per second
    int oids;        // distinct changed records (0: one per record)
    bool uids;       // changes carry uids, varying
    int backAt;      // the clock goes back by 50 s at this record (-1: never)
    int malformed;   // records holding no change, spread over the log
  } cases[] = {
      {"distinct times", 150, 1, 0, false, -1, 0},
      {"runs of seven", 150, 7, 0, false, -1, 0},
      {"one second", 150, 1000, 0, false, -1, 0},
      {"runs and duplicates", 300, 3, 130, false, -1, 0},
      {"duplicates with uids", 300, 2, 125, true, -1, 0},
      {"clock went back", 150, 2, 0, false, 90, 0},
      {"records holding no change", 150, 4, 0, false, -1, 6},
  };
  std::mt19937 random(7);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDevice device;
    SetUptimeMs(600000);
    SetClock(100000);
    SyncStateCache cache;
    ChangeLog trimmed(cache);  // class 24
    ChangeLog reference(cache);  // class 25, the same records
    ASSERT_TRUE(trimmed.OpenLog(24));
    ASSERT_TRUE(reference.OpenLog(25));
    for (DWORD dataClass : {24u, 25u}) {
      ASSERT_TRUE(SetSyncState(cache, dataClass, SyncStateTracking));
      ASSERT_TRUE(SetSyncTime(dataClass, 1));
    }
    DWORD time = 1000;
    const BYTE junk[5] = {9, 9, 9, 9, 9};
    for (int i = 0; i < c.records; ++i) {
      if (i == c.backAt) time -= 50;
      if (i % c.burst == 0) ++time;
      const CEOID oid = c.oids == 0 ? 5000 + i : 5000 + random() % c.oids;
      const DWORD uid = c.uids && random() % 2 ? 70 + random() % 3 : kNoUid;
      const BYTE type = random() % 4 == 0 ? ChangeTypeDelete : ChangeTypeModify;
      for (ChangeLog* log : {&trimmed, &reference}) {
        ASSERT_TRUE(log->WriteEntry(type, time, oid, uid));
        if (c.malformed != 0 && i % (c.records / c.malformed) == 0) {
          CEPROPVAL prop{};
          prop.propid = kChangeRecordPropId;
          prop.val.blob = CEBLOB{sizeof junk, const_cast<BYTE*>(junk)};
          ASSERT_NE(CeWriteRecordProps(log->LogDbHandle(), 0, 1, &prop), 0u);
        }
      }
    }
    SetStoreFreeBytes(0);
    for (int step = 0; step < 4; ++step) {
      SCOPED_TRACE(step);
      SetClock(200000 + step);
      const CEOID oid = 9000 + step % 2;
      CopyLog(trimmed, reference);
      ASSERT_TRUE(trimmed.AppendChange(ChangeTypeModify, oid, kNoUid));
      EXPECT_LIST_SOUND(trimmed);
      TrimByRewrite(reference);
      ASSERT_TRUE(reference.WriteEntry(ChangeTypeModify, CurrentTime(), oid, kNoUid));
      std::vector<Change> expected = Listed(25);
      ASSERT_GT(expected.size(), 80u);
      std::vector<Change> listed = Listed(24);
      EXPECT_EQ(Sorted(listed), Sorted(expected));
      EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end(), [](const Change& a, const Change& b) {
        return a.time > b.time;
      })) << "newest first";
      EXPECT_EQ(GetSyncTime(24), GetSyncTime(25));
      EXPECT_EQ(GetSyncState(cache, 24), SyncStateTracking);
    }
  }
}

// Past 65,535 records the store's count stands still and the entry count
// would wrap; the trim still frees ten records a time. Whether the log
// knows its records (it wrote them all) or not (kept from before, so the
// trim loads it), the kept records keep their identifiers: the trim
// deletes, it does not rewrite.
TEST(ChangeLogTrimTest, TrimsAtAnySize) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  struct Case {
    int records;
    bool kept;  // the log is bound anew, as after a quick restart
  } cases[] = {{99, false},    {100, false},   {100, true},   {65535, false},
               {65536, false}, {65536, true},  {70000, false}, {70000, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.records << " records" << (c.kept ? ", kept" : ""));
    hmtest::TempDevice device;
    SetUptimeMs(600000);
    SetClock(100000);
    SyncStateCache cache;
    auto log = std::make_unique<ChangeLog>(cache);
    ASSERT_TRUE(log->OpenLog(kClass));
    ASSERT_TRUE(SetSyncState(cache, kClass, SyncStateTracking));
    ASSERT_TRUE(SetSyncTime(kClass, 1));
    ASSERT_TRUE(CeBeginTransaction());
    for (int i = 0; i < c.records; ++i) {
      ASSERT_TRUE(log->WriteEntry(ChangeTypeModify, 100 + i, 1000 + i, kNoUid));
    }
    ASSERT_TRUE(CeEndTransaction(TRUE));
    CEOID eleventh = 0;
    {
      HANDLE db = OpenLogByName();
      eleventh = CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 10, nullptr);
      CloseHandle(db);
    }
    if (c.kept) {
      CloseHandle(log->LogDbHandle());
      log = std::make_unique<ChangeLog>(cache);
      SetUptimeMs(10000);
      ASSERT_TRUE(log->OpenLog(kClass));
      ASSERT_TRUE(log->KeptOnOpen());
      SetUptimeMs(600000);
    }
    SetStoreFreeBytes(0);
    ASSERT_TRUE(log->AppendChange(ChangeTypeAdd, 1, kNoUid));
    EXPECT_LIST_SOUND(*log);
    HANDLE db = OpenLogByName();
    DWORD last = 0;
    ASSERT_NE(CeSeekDatabase(db, CEDB_SEEK_END, 0, &last), 0u);
    const bool trims = c.records >= 100;
    EXPECT_EQ(last + 1, static_cast<DWORD>(trims ? c.records - 9 : c.records + 1));
    if (trims) {
      EXPECT_EQ(CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 0, nullptr), eleventh)
          << "the first record kept is the eleventh, as it was";
      EXPECT_EQ(GetSyncTime(kClass), 110u) << "the time of the oldest change kept";
    } else {
      EXPECT_EQ(GetSyncTime(kClass), 1u);
    }
    EXPECT_EQ(GetSyncState(cache, kClass), SyncStateTracking);
    CloseHandle(db);
    EXPECT_EQ(log->NewestEntry(), nullptr);
  }
}

TEST_F(ChangeLogTest, TrimOfOneHundredTwentyKeepsTheNewestAndMovesSyncTime) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Track(50);
  Seed(120);
  SetStoreFreeBytes(0);
  SetClock(5000);
  ASSERT_TRUE(log_.AppendChange(ChangeTypeAdd, 1, kNoUid));
  EXPECT_LIST_SOUND(log_);
  std::vector<Change> stored = StoredRecords();
  ASSERT_EQ(stored.size(), 111u);
  EXPECT_EQ(stored.front().time, 110u);
  EXPECT_EQ(stored[109].time, 219u);
  EXPECT_EQ(stored.back(), (Change{ChangeTypeAdd, 5000, kNoUid, 1}));
  ExpectRegistryState(SyncStateTracking, 110, "the log is complete from the 11th-oldest change");
  EXPECT_EQ(GetSyncState(cache_, kClass), SyncStateTracking);
  EXPECT_EQ(log_.NewestEntry(), nullptr) << "the trim releases its list";
}

// The trim raises the horizon to what the log still holds and never lowers
// it: a class lost and enabled again after a peer's sync has a horizon later
// than the oldest entry kept, and a peer with an older anchor must still
// find the class incomplete. A trim that cuts part of one second's run
// leaves the log complete from the second after it only. Both for a log
// that knows its records and for one that must load them first; a class
// that is not tracking keeps what it had.
TEST_F(ChangeLogTest, TrimNeverLowersTheHorizonNorKeepsACutSecond) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  struct Case {
    const char* name;
    DWORD state;
    DWORD horizon;
    int burst;  // records per second
    DWORD expectedTime;
  } cases[] = {
      // 120 records, one a second from 100: ten go, 110 is the oldest kept.
      {"horizon before the oldest kept", SyncStateTracking, 50, 1, 110},
      {"horizon after a loss and an enable", SyncStateTracking, 5000, 1, 5000},
      // Runs of four records a second: ten go, the third run is cut.
      {"a second's run cut", SyncStateTracking, 50, 4, 103},
      {"lost", SyncStateLost, 0, 1, 0},
  };
  for (bool known : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.name << (known ? ", known records" : ", loaded first"));
      log_.DeleteLogDb();
      ASSERT_TRUE(log_.CreateLogDb());
      for (int i = 0; i < 120; ++i) {
        ASSERT_TRUE(log_.WriteEntry(ChangeTypeModify, 100 + i / c.burst, 1000 + i, kNoUid));
      }
      if (!known) RebindAfterAQuickRestart();
      ASSERT_TRUE(SetSyncState(cache_, kClass, c.state));
      ASSERT_TRUE(SetSyncTime(kClass, c.horizon));
      SetStoreFreeBytes(0);
      SetClock(6000);
      ASSERT_TRUE(log_.AppendChange(ChangeTypeAdd, 1, kNoUid));
      EXPECT_EQ(StoredRecords().size(), 111u);
      ExpectRegistryState(c.state, c.expectedTime, c.name);
      SetStoreFreeBytes(kLowSpace * 2);
    }
  }
}

// A record the trim cannot delete leaves the log in doubt: the class is
// lost as after a failed write, and the next append starts afresh. Both for
// a log that knows its records and for one that must load them first.
TEST_F(ChangeLogTest, TrimThatCannotDeleteLosesTheClass) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  for (bool known : {true, false}) {
    SCOPED_TRACE(known ? "known records" : "loaded first");
    log_.DeleteLogDb();
    ASSERT_TRUE(log_.CreateLogDb());
    Track(50);
    Seed(120);
    if (!known) RebindAfterAQuickRestart();
    SetStoreFreeBytes(0);
    FailNext(Call::kCeDeleteRecord, ERROR_DISK_FULL, 1, /*skip=*/3);
    EXPECT_FALSE(log_.AppendChange(ChangeTypeAdd, 1, kNoUid));
    EXPECT_LIST_SOUND(log_);
    ExpectRegistryState(SyncStateLost, 0, "a trimmed record stayed");
    EXPECT_EQ(GetSyncState(cache_, kClass), SyncStateLost);
    EXPECT_FALSE(LogDatabaseExists());
    EXPECT_EQ(log_.NewestEntry(), nullptr);
    SetStoreFreeBytes(kLowSpace * 2);
    SetClock(3000);
    ASSERT_TRUE(log_.AppendChange(ChangeTypeAdd, 2, kNoUid));
    EXPECT_LIST_SOUND(log_);
    EXPECT_THAT(StoredRecords(), ElementsAre(Change{ChangeTypeAdd, 3000, kNoUid, 2}));
    platform::fault::Clear();
    SetUptimeMs(600000);
  }
}

TEST_F(ChangeLogTest, TrimAfterAFailedLoadKeepsTheWholeLog) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Track(50);
  Seed(120);
  // Bound anew, as after a quick restart: the trim must read the log.
  RebindAfterAQuickRestart();
  SetStoreFreeBytes(0);
  FailNext(Call::kCeReadRecordProps, ERROR_NOT_ENOUGH_MEMORY, 1, /*skip=*/50);
  ASSERT_TRUE(log_.AppendChange(ChangeTypeAdd, 1, kNoUid));
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(StoredRecords().size(), 121u);
  ExpectRegistryState(SyncStateTracking, 50, "nothing was trimmed");
  EXPECT_EQ(log_.NewestEntry(), nullptr);
}

TEST_F(ChangeLogTest, TrimThatLeavesNothingMakesTheLogCompleteFromNow) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Track(50);
  const BYTE short_blob[3] = {1, 2, 3};
  for (int i = 0; i < 100; ++i) WriteRawBlob(short_blob, sizeof(short_blob));
  SetStoreFreeBytes(0);
  SetClock(7000);
  ASSERT_TRUE(log_.AppendChange(ChangeTypeAdd, 1, kNoUid));
  EXPECT_LIST_SOUND(log_);
  EXPECT_THAT(StoredRecords(), ElementsAre(Change{ChangeTypeAdd, 7000, kNoUid, 1}));
  ExpectRegistryState(SyncStateTracking, 7000, "no change before now is on record");
}

TEST_F(ChangeLogTest, UnknownFreeSpaceNeverTrims) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  EXPECT_EQ(log_.FreeBytes(), ChangeLog::kUnknownFreeBytes);
  Seed(100);
  FailNext(Call::kGetDiskFreeSpaceExW, ERROR_NOT_SUPPORTED, -1);
  ASSERT_TRUE(log_.AppendChange(ChangeTypeAdd, 1, kNoUid));
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(StoredRecords().size(), 101u);

  platform::fault::Clear();
  SetStoreFreeBytes(1000);
  EXPECT_FALSE(log_.HasFreeSpace());
  EXPECT_EQ(log_.FreeBytes(), 1000u);
  FailNext(Call::kGetDiskFreeSpaceExW, ERROR_NOT_SUPPORTED);
  SetStoreFreeBytes(kLowSpace * 2);
  EXPECT_FALSE(log_.HasFreeSpace()) << "a failed query keeps the last known figure";
}

TEST_F(ChangeLogTest, FailedWriteLosesTheClassAndTheNextAppendStartsAfresh) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Track(50);
  Seed(3);
  FailNext(Call::kCeWriteRecordProps, ERROR_DISK_FULL);
  EXPECT_FALSE(log_.AppendChange(ChangeTypeAdd, 8, kNoUid));
  EXPECT_LIST_SOUND(log_);
  EXPECT_FALSE(LogDatabaseExists());
  EXPECT_EQ(log_.LogDbHandle(), INVALID_HANDLE_VALUE);
  ExpectRegistryState(SyncStateLost, 0, "a change was lost");
  EXPECT_EQ(GetSyncState(cache_, kClass), SyncStateLost);

  SetClock(2000);
  ASSERT_TRUE(log_.AppendChange(ChangeTypeAdd, 9, kNoUid));
  EXPECT_LIST_SOUND(log_);
  EXPECT_THAT(StoredRecords(), ElementsAre(Change{ChangeTypeAdd, 2000, kNoUid, 9}));
}

// A group lands as the same appends one by one would have left it, at the
// time of the group, in order, and a trim reads it as any other records.
TEST_F(ChangeLogTest, AGroupOfChangesLandsInOrderWithTheBytesOfSingleAppends) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  const PendingChange group[] = {{ChangeTypeAdd, 7, kNoUid},
                                 {ChangeTypeModify, 0x01020304, 0xAABBCCDD},
                                 {ChangeTypeDelete, 8, kNoUid},
                                 {ChangeTypeModify, 9, 3}};
  SetClock(0x11223344);
  for (const PendingChange& c : group) ASSERT_TRUE(log_.AppendChange(c.bType, c.oidRec, c.dwUid));
  const std::vector<Change> single = StoredRecords();
  ASSERT_EQ(single.size(), std::size(group));

  ASSERT_TRUE(log_.DeleteLogDb());
  DWORD time = 0;
  ASSERT_TRUE(log_.AppendChanges(group, std::size(group), &time));
  EXPECT_EQ(time, 0x11223344u);
  EXPECT_EQ(StoredRecords(), single);
  EXPECT_EQ(log_.NewestEntry(), nullptr) << "appending leaves the list alone";

  // The log knows the group's records as it knows single appends: a trim
  // from what it knows deletes the oldest of them in place.
  Track(50);
  Seed(150, 0x11223345, 2000);
  SetStoreFreeBytes(kLowSpace);
  SetClock(0x11223344 + 200);
  ASSERT_TRUE(log_.AppendChanges(group, 1, &time));
  const std::vector<Change> trimmed = StoredRecords();
  ASSERT_FALSE(trimmed.empty());
  EXPECT_EQ(trimmed.front().oid, 2006u) << "the group's four records went first, then six";
  EXPECT_EQ(trimmed.back(), (Change{ChangeTypeAdd, 0x11223344 + 200, kNoUid, 7}));
}

// Short of space, a group trims as its changes appended one by one would:
// ten records for each change, so that a burst cannot grow a log that
// single appends would have shrunk. A table of group sizes, each against the
// same changes appended singly on the same log.
TEST_F(ChangeLogTest, AGroupShortOfSpaceTrimsAsItsSingleAppendsWould) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  struct Case {
    size_t n;
    size_t kept;  // 150 records, ten trimmed before each change while 100 or more
  };
  for (const Case& tc : {Case{1, 141}, Case{3, 123}, Case{8, 98}}) {
    const size_t n = tc.n;
    SCOPED_TRACE(testing::Message() << n << " changes");
    std::vector<PendingChange> group;
    for (size_t i = 0; i < n; ++i) group.push_back({ChangeTypeModify, CEOID(9000 + i), kNoUid});
    std::vector<Change> expected;
    for (int grouped = 0; grouped < 2; ++grouped) {
      log_.DeleteLogDb();
      SetStoreFreeBytes(kLowSpace * 2);
      Track(50);
      ASSERT_TRUE(log_.CreateLogDb());
      Seed(150, 100, 2000);
      SetStoreFreeBytes(kLowSpace);
      SetClock(1000);
      if (grouped == 0) {
        for (const PendingChange& c : group) ASSERT_TRUE(log_.AppendChange(c.bType, c.oidRec, c.dwUid));
        expected = StoredRecords();
      } else {
        DWORD time = 0;
        ASSERT_TRUE(log_.AppendChanges(group.data(), group.size(), &time));
        EXPECT_EQ(StoredRecords(), expected);
      }
    }
    EXPECT_EQ(expected.size(), tc.kept);
  }
}

// A group that cannot be written, wherever it fails, leaves nothing of
// itself, loses the class, and the next append starts afresh.
TEST_F(ChangeLogTest, AGroupThatCannotBeWrittenKeepsNothingAndLosesTheClass) {
  struct Case {
    const char* name;
    Call call;
    int skip;
  };
  const Case cases[] = {
      {"no database can be made", Call::kCeCreateDatabase, 0},
      {"the first record fails", Call::kCeWriteRecordProps, 0},
      {"the last record fails", Call::kCeWriteRecordProps, 2},
  };
  const PendingChange group[] = {{ChangeTypeAdd, 7, kNoUid},
                                 {ChangeTypeModify, 8, kNoUid},
                                 {ChangeTypeDelete, 9, kNoUid}};
  platform::MutexLock locked(&TrackingLock::systemLock);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.DeleteLogDb();
    Track(50);
    if (c.call == Call::kCeCreateDatabase) {
      log_.DeleteLogDb();
    } else {
      ASSERT_TRUE(log_.CreateLogDb());
      Seed(3);
    }
    FailNext(c.call, ERROR_DISK_FULL, 1, c.skip);
    DWORD time = 0;
    EXPECT_FALSE(log_.AppendChanges(group, std::size(group), &time));
    EXPECT_LIST_SOUND(log_);
    EXPECT_FALSE(LogDatabaseExists());
    EXPECT_EQ(log_.LogDbHandle(), INVALID_HANDLE_VALUE);
    ExpectRegistryState(SyncStateLost, 0, c.name);
    EXPECT_EQ(GetSyncState(cache_, kClass), SyncStateLost);
    platform::fault::Clear();
    SetUptimeMs(600000);
    SetClock(2000);
    ASSERT_TRUE(log_.AppendChanges(group, 1, &time));
    EXPECT_THAT(StoredRecords(), ElementsAre(Change{ChangeTypeAdd, 2000, kNoUid, 7}));
  }
}

TEST_F(ChangeLogTest, AppendThatCannotMakeItsDatabaseLosesTheClass) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Track(50);
  ASSERT_TRUE(log_.DeleteLogDb());
  FailNext(Call::kCeCreateDatabase, ERROR_DISK_FULL);
  EXPECT_FALSE(log_.AppendChange(ChangeTypeAdd, 9, kNoUid));
  EXPECT_LIST_SOUND(log_);
  ExpectRegistryState(SyncStateLost, 0, "creation failed");
  EXPECT_FALSE(LogDatabaseExists());
  // Once there is room again, the next append works.
  SetClock(2000);
  ASSERT_TRUE(log_.AppendChange(ChangeTypeAdd, 10, kNoUid));
  EXPECT_LIST_SOUND(log_);
  EXPECT_THAT(StoredRecords(), ElementsAre(Change{ChangeTypeAdd, 2000, kNoUid, 10}));
}

// A failed write deletes the log; when the store is too full even for that,
// the stale log must not keep every later append from working.
TEST_F(ChangeLogTest, ALogThatCouldNotBeDeletedIsReplacedOrWrittenOn) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  struct Case {
    const char* name;
    int failedDeletes;  // of the stale log, after the failed write's own
    std::vector<Change> expected;
  };
  const std::vector<Case> cases = {
      {"replaced", 0, {Change{ChangeTypeAdd, 2000, kNoUid, 9}}},
      {"written on",
       1,
       {Change{ChangeTypeModify, 100, kNoUid, 1000}, Change{ChangeTypeAdd, 2000, kNoUid, 9}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.DeleteLogDb();
    ASSERT_TRUE(log_.CreateLogDb());
    Track(50);
    Seed(1);
    FailNext(Call::kCeWriteRecordProps, ERROR_DISK_FULL);
    FailNext(Call::kCeDeleteDatabase, ERROR_DISK_FULL, 1 + c.failedDeletes);
    EXPECT_FALSE(log_.AppendChange(ChangeTypeAdd, 8, kNoUid));
    EXPECT_LIST_SOUND(log_);
    ExpectRegistryState(SyncStateLost, 0, "the write failed");
    EXPECT_TRUE(LogDatabaseExists());  // the delete failed too
    SetClock(2000);
    ASSERT_TRUE(log_.AppendChange(ChangeTypeAdd, 9, kNoUid));
    EXPECT_LIST_SOUND(log_);
    EXPECT_EQ(StoredRecords(), c.expected);
    platform::fault::Clear();
    SetUptimeMs(600000);
  }
}

// Capture goes on while a reader has the list loaded; the reader's rewrite
// must keep what was appended meanwhile.
TEST_F(ChangeLogTest, RewriteKeepsChangesAppendedAfterTheLoad) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  WriteRaw({ChangeTypeAdd, 5, kNoUid, 0xA});
  WriteRaw({ChangeTypeModify, 9, kNoUid, 0xA});
  WriteRaw({ChangeTypeAdd, 6, kNoUid, 0xB});
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.NeedsRewrite());
  SetClock(20);
  ASSERT_TRUE(log_.AppendChange(ChangeTypeAdd, 0xC, kNoUid));
  EXPECT_LIST_SOUND(log_);
  SetClock(21);
  ASSERT_TRUE(log_.AppendChange(ChangeTypeModify, 0xA, kNoUid));
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.RewriteLog(false));
  EXPECT_LIST_SOUND(log_);
  EXPECT_THAT(StoredRecords(), ElementsAre(Change{ChangeTypeAdd, 6, kNoUid, 0xB},
                                           Change{ChangeTypeModify, 9, kNoUid, 0xA},
                                           Change{ChangeTypeAdd, 20, kNoUid, 0xC},
                                           Change{ChangeTypeModify, 21, kNoUid, 0xA}));
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  EXPECT_THAT(OidsNewestFirst(log_), ElementsAre(0xA, 0xC, 0xB));
}

TEST_F(ChangeLogTest, RewriteKeepsAppendsAfterTheReaderForgotAChange) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  WriteRaw({ChangeTypeAdd, 5, kNoUid, 0xA});
  WriteRaw({ChangeTypeModify, 9, kNoUid, 0xA});
  WriteRaw({ChangeTypeAdd, 6, kNoUid, 0xB});
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  ChangeEntry* b = log_.FindEntry(0xB);
  ASSERT_TRUE(log_.DeleteEntryRecord(b));
  ASSERT_TRUE(log_.RemoveEntry(b));
  EXPECT_LIST_SOUND(log_);
  SetClock(20);
  ASSERT_TRUE(log_.AppendChange(ChangeTypeAdd, 0xC, kNoUid));
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.RewriteLog(false));
  EXPECT_LIST_SOUND(log_);
  EXPECT_THAT(StoredRecords(), ElementsAre(Change{ChangeTypeModify, 9, kNoUid, 0xA},
                                           Change{ChangeTypeAdd, 20, kNoUid, 0xC}));
}

// A process killed between the calls of a rewrite must leave the class lost,
// never tracked with changes missing: the class reads lost (sync time 0)
// from before the database is deleted until the rewrite is complete. A
// failed registry write stands in for the kill at each point.
TEST_F(ChangeLogTest, RewriteReadsLostUntilItIsComplete) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Track(50);
  WriteRaw({ChangeTypeAdd, 5, kNoUid, 0xA});
  WriteRaw({ChangeTypeModify, 9, kNoUid, 0xA});

  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  // Writes: lost, sync time 0, [rewrite], sync time back, tracking back.
  FailNext(Call::kRegSetValueExW, ERROR_ACCESS_DENIED, 1, /*skip=*/2);
  log_.RewriteLog(false);
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(StoredRecords().size(), 1u);
  ExpectRegistryState(SyncStateLost, 0, "stopped after the rewrite, before the restore");

  Track(50);
  WriteRaw({ChangeTypeModify, 12, kNoUid, 0xA});
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  ASSERT_TRUE(log_.RewriteLog(false));
  EXPECT_LIST_SOUND(log_);
  ExpectRegistryState(SyncStateTracking, 50, "a completed rewrite restores the class");
  EXPECT_EQ(GetSyncState(cache_, kClass), SyncStateTracking);
}

TEST_F(ChangeLogTest, RewriteThatCannotMarkTheClassLeavesTheStoredLog) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Track(50);
  WriteRaw({ChangeTypeAdd, 5, kNoUid, 0xA});
  WriteRaw({ChangeTypeModify, 9, kNoUid, 0xA});
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  FailNext(Call::kRegSetValueExW, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(log_.RewriteLog(false));
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(StoredRecords().size(), 2u) << "duplicates stay for the next load to resolve";
  ExpectRegistryState(SyncStateTracking, 50, "nothing changed");
  EXPECT_EQ(GetSyncState(cache_, kClass), SyncStateTracking);
  EXPECT_EQ(log_.NewestEntry(), nullptr);
}

TEST_F(ChangeLogTest, TrimReadsLostUntilItsSyncTimeIsMoved) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Track(50);
  Seed(120);
  SetStoreFreeBytes(0);
  FailNext(Call::kRegSetValueExW, ERROR_ACCESS_DENIED, 1, /*skip=*/2);
  ASSERT_TRUE(log_.AppendChange(ChangeTypeAdd, 1, kNoUid));
  EXPECT_LIST_SOUND(log_);
  EXPECT_EQ(StoredRecords().size(), 111u);
  ExpectRegistryState(SyncStateLost, 0, "stopped before the sync time was moved");
}

TEST_F(ChangeLogTest, FailedWriteDuringARewriteLeavesTheClassLost) {
  platform::MutexLock locked(&TrackingLock::systemLock);
  Track(50);
  WriteRaw({ChangeTypeAdd, 5, kNoUid, 0xA});
  WriteRaw({ChangeTypeModify, 9, kNoUid, 0xA});
  WriteRaw({ChangeTypeAdd, 6, kNoUid, 0xB});
  ASSERT_TRUE(log_.LoadLog());
  EXPECT_LIST_SOUND(log_);
  FailNext(Call::kCeWriteRecordProps, ERROR_DISK_FULL, 1, /*skip=*/1);
  EXPECT_FALSE(log_.RewriteLog(false));
  EXPECT_LIST_SOUND(log_);
  EXPECT_FALSE(LogDatabaseExists());
  ExpectRegistryState(SyncStateLost, 0, "a rewrite write failed");
  EXPECT_NE(log_.NewestEntry(), nullptr) << "the list stays loaded";
}

}  // namespace
