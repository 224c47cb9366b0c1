#include "tracking/mail_store.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "settings/registry_store.h"
#include "tests/support/temp_device.h"
#include "tracking/mail_tracking.h"
#include "tracking/store_fixture.h"
#include "tracking/tracking_state.h"

namespace {

using fixture::Filed;
using fixture::Layout;
using Pairs = std::vector<std::pair<CEOID, DWORD>>;

Pairs MapContents(MessageUidMap& map) REQUIRES(TrackingState::systemLock) {
  Pairs pairs;
  for (MessageUid* p = map.FirstMessageUid(); p != nullptr;
       p = map.NextMessageUid()) {
    pairs.emplace_back(p->oidMsg, p->dwUid);
  }
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

std::vector<CEOID> FolderOids(MailFolderDbList& list) REQUIRES(TrackingState::systemLock) {
  std::vector<CEOID> oids;
  for (MailFolderDb* n = list.FirstMailFolder(); n != nullptr;
       n = list.NextMailFolder()) {
    oids.push_back(n->oidDb);
  }
  std::sort(oids.begin(), oids.end());
  return oids;
}

// A message filed in a folder, by the index of the message in the case.
struct CaseFiled {
  int msg;
  DWORD uid;
  Layout layout = Layout::kOidThenUid;
};

struct RebuildCase {
  const char* name;
  // Folder databases to create, with what is filed there.
  std::vector<std::pair<std::u16string, std::vector<CaseFiled>>> folders;
  // pmailFolders records, each naming folder databases.
  std::vector<std::vector<std::u16string>> records;
  // Expected pairs: (message index, uid).
  std::vector<std::pair<int, DWORD>> expected;
};

// The uid map and the folder list as the store's folder records say, over
// small stores that each show one rule.
TEST(MailStoreTest, RebuildAndSetUpFollowTheFolderRecords) {
  platform::MutexLock locked(&TrackingState::systemLock);
  const std::vector<RebuildCase> cases = {
      {"oid then uid", {{u"A", {{0, 11}}}}, {{u"A"}}, {{0, 11}}},
      {"uid then oid",
       {{u"A", {{0, 11, Layout::kUidThenOid}}}}, {{u"A"}}, {{0, 11}}},
      {"oid without uid",
       {{u"A", {{0, 11, Layout::kOidOnly}, {1, 12}}}}, {{u"A"}}, {{1, 12}}},
      {"uid without oid",
       {{u"A", {{0, 11, Layout::kUidOnly}}}}, {{u"A"}}, {}},
      {"same message in two folders: the first met stays",
       {{u"A", {{0, 11}}}, {u"B", {{0, 22}, {1, 23}}}},
       {{u"A"}, {u"B"}},
       {{0, 11}, {1, 23}}},
      {"a folder that does not open is passed over",
       {{u"B", {{1, 22}}}},
       {{u"Missing"}, {u"B"}},
       {{1, 22}}},
      {"two records naming one folder",
       {{u"A", {{0, 11}}}}, {{u"A"}, {u"A"}}, {{0, 11}}},
      {"an unnamed folder is not read", {{u"A", {{0, 11}}}}, {}, {}},
  };
  for (const RebuildCase& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDevice device;
    TrackingState t;
    fixture::MailStore store = fixture::MakeMailStore();
    std::vector<CEOID> msgs;
    for (int i = 0; i < 2; ++i) msgs.push_back(fixture::AddMessage(store));
    std::map<std::u16string, CEOID> folderOid;
    for (const auto& [name, filed] : c.folders) {
      std::vector<Filed> real;
      for (const CaseFiled& f : filed) real.push_back({msgs[f.msg], f.uid, f.layout});
      folderOid[name] = fixture::MakeFolderDb(name, real).oidDb;
    }
    for (const auto& names : c.records) fixture::NameFolders(store, names);

    SetUpMailTracking(t, true);

    Pairs expected;
    for (const auto& [msg, uid] : c.expected) expected.emplace_back(msgs[msg], uid);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(MapContents(t.messageUids), expected) << "case " << c.name;

    // Set-up tracks each named folder that opens, once.
    std::vector<CEOID> named;
    for (const auto& names : c.records) {
      for (const auto& n : names) {
        if (folderOid.count(n) && std::find(named.begin(), named.end(),
                                            folderOid[n]) == named.end()) {
          named.push_back(folderOid[n]);
        }
      }
    }
    std::sort(named.begin(), named.end());
    EXPECT_EQ(FolderOids(t.mailFolders), named) << "case " << c.name;
    EXPECT_EQ(t.mail.oidMailMsgs, store.oidMsgs) << "case " << c.name;
    EXPECT_EQ(t.mail.oidMailFolders, store.oidFolders) << "case " << c.name;

    // The rebuild alone gives the same map again.
    t.messageUids.RebuildMessageUidMap();
    EXPECT_EQ(MapContents(t.messageUids), expected) << "case " << c.name;
  }
}

TEST(MailStoreTest, RebuildReplacesPairsThatCaptureAddedWithoutUid) {
  platform::MutexLock locked(&TrackingState::systemLock);
  hmtest::TempDevice device;
  TrackingState t;
  fixture::MailStore store = fixture::MakeMailStore();
  CEOID m1 = fixture::AddMessage(store);
  CEOID m2 = fixture::AddMessage(store);
  fixture::MakeFolderDb(u"Inbox", {{m1, 0x51}});
  fixture::NameFolders(store, {u"Inbox"});
  t.messageUids.AddMessageUid(m1, kNoUid);
  t.messageUids.AddMessageUid(m2, kNoUid);  // no folder record names m2

  t.messageUids.RebuildMessageUidMap();

  EXPECT_EQ(MapContents(t.messageUids), (Pairs{{m1, 0x51}}));
}

TEST(MailStoreTest, SetUpTracksTheMessageDatabase) {
  platform::MutexLock locked(&TrackingState::systemLock);
  hmtest::TempDevice device;
  TrackingState t;
  fixture::MailStore store = fixture::MakeMailStore();

  SetUpMailTracking(t, true);

  TrackedDb* node = t.trackedDbs.FindTrackedByDb(store.oidMsgs);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->dwClass, kMailDataClass);
  EXPECT_NE(node->hDb, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetSyncState(t.syncStates, kMailDataClass), SyncStateNone);
}

// Mail follows the lost-log rule that discovery applies to the other classes.
TEST(MailStoreTest, SetUpLosesMailWhoseLogDidNotSurvive) {
  platform::MutexLock locked(&TrackingState::systemLock);
  struct Case {
    const char* name;
    DWORD state;       // before set-up
    bool recent;       // the start-up test
    bool logExisted;   // the class's log was on the store
    bool mailStore;    // pmailMsgs exists
    DWORD expected;
  };
  const std::vector<Case> cases = {
      {"log kept across a quick restart", SyncStateTracking, true, true, true, SyncStateTracking},
      {"late start", SyncStateTracking, false, true, true, SyncStateLost},
      {"quick start without the log", SyncStateTracking, true, false, true, SyncStateLost},
      {"not tracking", SyncStateNone, false, true, true, SyncStateNone},
      {"no message database", SyncStateNone, true, false, false, SyncStateLost},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDevice device;
    platform::fault::SetUptimeMs(c.recent ? 10'000 : 120'000);
    TrackingState t;
    if (c.mailStore) fixture::MakeMailStore();
    if (c.logExisted) {
      ASSERT_NE(fixture::CreateDb(u"\\Hollowmarch Change Log 5710", 5710), 0u);
    }
    SetSyncState(t.syncStates, kMailDataClass, c.state);
    SetSyncTime(kMailDataClass, 1000);

    SetUpMailTracking(t, c.recent);

    EXPECT_EQ(GetSyncState(t.syncStates, kMailDataClass), c.expected);
    EXPECT_EQ(GetSyncTime(kMailDataClass), c.expected == SyncStateLost ? 0u : 1000u);
  }
}

TEST(MailStoreTest, SetUpWithoutAMailStoreTracksNothing) {
  platform::MutexLock locked(&TrackingState::systemLock);
  hmtest::TempDevice device;
  TrackingState t;
  t.mail.oidMailMsgs = 99;  // set-up starts afresh
  t.mail.oidMailFolders = 98;

  SetUpMailTracking(t, true);

  EXPECT_EQ(t.trackedDbs.pHead, nullptr);
  EXPECT_EQ(t.mailFolders.pHead, nullptr);
  EXPECT_EQ(t.messageUids.pHead, nullptr);
  EXPECT_EQ(t.mail.oidMailMsgs, 0u);
  EXPECT_EQ(t.mail.oidMailFolders, 0u);
}

TEST(MailStoreTest, FolderReadFailuresSkipOnlyWhatFailed) {
  platform::MutexLock locked(&TrackingState::systemLock);
  hmtest::TempDevice device;
  TrackingState t;
  fixture::MailStore store = fixture::MakeMailStore();
  CEOID m1 = fixture::AddMessage(store);
  CEOID m2 = fixture::AddMessage(store);
  fixture::MakeFolderDb(u"A", {{m1, 1}, {m2, 2}});
  fixture::NameFolders(store, {u"A"});

  // The first read is of the pmailFolders record, the second of A's first
  // record. A failed read leaves the position where it was, so the next
  // read gets that record again; the record count still bounds the loop.
  platform::fault::FailNext(platform::fault::Call::kCeReadRecordProps,
                            ERROR_INVALID_PARAMETER, 1, 1);
  t.messageUids.RebuildMessageUidMap();
  EXPECT_EQ(MapContents(t.messageUids), (Pairs{{m1, 1}}));

  t.messageUids.RebuildMessageUidMap();
  EXPECT_EQ(MapContents(t.messageUids), (Pairs{{m1, 1}, {m2, 2}}));

  platform::fault::FailNext(platform::fault::Call::kCeOidGetInfo,
                            ERROR_INVALID_PARAMETER);
  t.messageUids.RebuildMessageUidMap();
  EXPECT_EQ(MapContents(t.messageUids), Pairs{}) << "no record count, no reading";
}

TEST(MailStoreTest, FolderOperationsKeepOneNodePerDatabase) {
  platform::MutexLock locked(&TrackingState::systemLock);
  hmtest::TempDevice device;
  TrackingState t;
  CEOID a = fixture::MakeFolderDb(u"A", {}).oidDb;

  // Handles are issued in increasing order and never reused: the ones
  // between two probes were opened by the calls between them.
  auto probe = [&] {
    CEOID oid = a;
    HANDLE h = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
    CloseHandle(h);
    return h;
  };
  HANDLE before = probe();
  TrackMailFolderDbByOid(t, a);
  TrackMailFolderDbByOid(t, a);
  TrackMailFolderDbByName(t, u"A");
  TrackMailFolderDbByName(t, u"Missing");
  HANDLE after = probe();

  EXPECT_EQ(FolderOids(t.mailFolders), std::vector<CEOID>{a});
  // Only the node's own handle stays open; the second open's is closed.
  for (HANDLE h = before + 1; h < after; ++h) {
    if (h == t.mailFolders.pHead->hDb) continue;
    EXPECT_FALSE(CloseHandle(h)) << "handle " << h << " left open";
  }

  // Window close closes every folder handle and keeps the nodes.
  HANDLE h = t.mailFolders.pHead->hDb;
  t.mailFolders.CloseAllMailFolders();
  EXPECT_NE(t.mailFolders.pHead, nullptr);
  EXPECT_FALSE(CloseHandle(h)) << "already closed";
}

// The list rule: removing the node at the cursor lets the walk go on with
// the node after it; removing everything leaves the header empty.
TEST(MailStoreTest, WalksSurviveRemovingTheirCurrentNode) {
  platform::MutexLock locked(&TrackingState::systemLock);
  hmtest::TempDevice device;
  MessageUidMap map;
  for (CEOID oid : {1u, 2u, 3u, 4u}) map.AddMessageUid(oid, oid * 10);
  map.AddMessageUid(3, 99);  // present already: unchanged
  // Head first: 4, 3, 2, 1.
  std::vector<CEOID> seen;
  for (MessageUid* p = map.FirstMessageUid(); p != nullptr;
       p = map.NextMessageUid()) {
    seen.push_back(p->oidMsg);
    if (p->oidMsg == 4 || p->oidMsg == 2) map.UnlinkMessageUid(p);
  }
  EXPECT_EQ(seen, (std::vector<CEOID>{4, 3, 2, 1}));
  EXPECT_EQ(MapContents(map), (Pairs{{1, 10}, {3, 30}}));

  map.RemoveMessageUid(1);
  map.RemoveMessageUid(7);
  EXPECT_EQ(MapContents(map), (Pairs{{3, 30}}));

  map.FreeAllMessageUids();
  EXPECT_EQ(map.pHead, nullptr);
  EXPECT_EQ(map.pCursor, nullptr);

  MailFolderDbList folders;
  for (CEOID oid : {5u, 6u, 7u}) folders.AddMailFolderDb(kMailDataClass, 0, oid);
  EXPECT_EQ(folders.FindMailFolderByDb(6)->oidDb, 6u);
  EXPECT_EQ(folders.pCursor->oidDb, 6u) << "a lookup leaves the cursor on its find";
  folders.FreeAllMailFolders();
  EXPECT_EQ(folders.pHead, nullptr);
  EXPECT_EQ(folders.pCursor, nullptr);
}

TEST(MailStoreTest, NodesThatCannotBeAllocatedAreNotAdded) {
  platform::MutexLock locked(&TrackingState::systemLock);
  hmtest::TempDevice device;
  MessageUidMap map;
  platform::fault::FailNext(platform::fault::Call::kLocalAlloc,
                            ERROR_NOT_ENOUGH_MEMORY);
  map.AddMessageUid(1, 1);
  EXPECT_EQ(map.pHead, nullptr);
  map.AddMessageUid(1, 2);
  EXPECT_EQ(MapContents(map), (Pairs{{1, 2}}));
}

TEST(MailStoreTest, FolderNamesMustConvertToTheAnsiCodePage) {
  hmtest::TempDevice device;
  EXPECT_TRUE(FolderNameConverts(u"Inbox"));
  EXPECT_TRUE(FolderNameConverts(u"Entw\u00fcrfe"));
  EXPECT_FALSE(FolderNameConverts(nullptr));
}

}  // namespace
