#include "shell/change_list_interface.h"

#include <algorithm>
#include <vector>

#include "gtest/gtest.h"
#include "platform/object_store.h"
#include "settings/registry_store.h"
#include "shell/process_objects.h"
#include "tests/support/temp_device.h"
#include "tracking/change_log.h"
#include "tracking/change_log_checks.h"
#include "tracking/trace.h"
#include "tracking/tracked_class.h"
#include "tracking/tracked_db.h"

namespace {

constexpr DWORD kContacts = 24;

class ChangeListTest : public ::testing::Test {
 protected:
  ChangeListTest() : objects_(40999) {}

  // A tracked database of `dataClass` whose log holds changes at `times`
  // (oids 1000 + i).
  TrackedDb* Track(DWORD dataClass, const std::vector<DWORD>& times, const char16_t* name = u"Contacts") {
    platform::MutexLock locked(&TrackingState::systemLock);
    CEOID db = CeCreateDatabase(name, dataClass, 0, nullptr);
    EXPECT_NE(db, 0u);
    EXPECT_TRUE(objects_.tracking.trackedDbs.DiscoverClassDbs(dataClass, true, 0));
    TrackedDb* node = objects_.tracking.trackedDbs.FindTrackedByDb(db);
    EXPECT_NE(node, nullptr);
    for (size_t i = 0; i < times.size(); ++i) {
      EXPECT_TRUE(node->pLog->WriteEntry(ChangeTypeModify, times[i], 1000 + static_cast<CEOID>(i), kNoUid));
    }
    return node;
  }

  // Answers one request under the lock, as the window does, then checks
  // every log's list where it stands.
  LRESULT Send(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
    platform::MutexLock locked(&TrackingState::systemLock);
    LRESULT result =
        HandleChangeListRequest(objects_.tracking, objects_.changeList, message, wparam, lparam);
    for (const TrackedDb* n = objects_.tracking.trackedDbs.pHead; n != nullptr; n = n->pNext) {
      EXPECT_LIST_SOUND(n->pLog) << "after message " << message;
    }
    return result;
  }

  // Another reader ends the class's list.
  void EndClassLog(DWORD dataClass) {
    platform::MutexLock locked(&TrackingState::systemLock);
    objects_.tracking.trackedDbs.EndClassLog(dataClass);
  }

  DWORD StoredState(DWORD dataClass) {
    platform::MutexLock locked(&TrackingState::systemLock);
    return GetSyncState(objects_.tracking.syncStates, dataClass);
  }

  // The times of a whole walk with `since`.
  std::vector<DWORD> Walk(DWORD dataClass, DWORD since) {
    std::vector<DWORD> times;
    for (LRESULT h = Send(WM_HMAPP_GET_NEXT_CHANGE, 0, since); h != 0;
         h = Send(WM_HMAPP_GET_NEXT_CHANGE, 1, since)) {
      times.push_back(static_cast<DWORD>(Send(WM_HMAPP_GET_CHANGE_TIME, h)));
    }
    return times;
  }

  hmtest::TempDevice device_;
  ProcessObjects objects_;
};

TEST_F(ChangeListTest, WalksNewestFirstFromTheGivenTime) {
  Track(kContacts, {100, 200, 300});
  ASSERT_EQ(Send(WM_HMAPP_START_CHANGE_LIST, kContacts), 1);
  EXPECT_EQ(Walk(kContacts, 150), (std::vector<DWORD>{300, 200}));
  EXPECT_EQ(Walk(kContacts, 0), (std::vector<DWORD>{300, 200, 100}));
  EXPECT_EQ(Send(WM_HMAPP_END_CHANGE_LIST, kContacts), 1);
}

TEST_F(ChangeListTest, AStepAfterTheEndStartsAgainAtTheNewest) {
  Track(kContacts, {100, 200});
  Send(WM_HMAPP_START_CHANGE_LIST, kContacts);
  EXPECT_NE(Send(WM_HMAPP_GET_NEXT_CHANGE, 0, 0), 0);
  EXPECT_NE(Send(WM_HMAPP_GET_NEXT_CHANGE, 1, 0), 0);
  EXPECT_EQ(Send(WM_HMAPP_GET_NEXT_CHANGE, 1, 0), 0);
  LRESULT again = Send(WM_HMAPP_GET_NEXT_CHANGE, 1, 0);
  ASSERT_NE(again, 0);
  EXPECT_EQ(Send(WM_HMAPP_GET_CHANGE_TIME, again), 200);
}

// The peer's forget looks its change up and removes it; a local walk under
// way goes on where it was, neither skipping nor repeating a change.
TEST_F(ChangeListTest, APeersForgetDuringAWalkLeavesTheWalksPlace) {
  Track(kContacts, {100, 200, 300, 400});
  Send(WM_HMAPP_START_CHANGE_LIST, kContacts);
  std::vector<DWORD> times;
  LRESULT h = Send(WM_HMAPP_GET_NEXT_CHANGE, 0, 0);
  times.push_back(static_cast<DWORD>(Send(WM_HMAPP_GET_CHANGE_TIME, h)));
  h = Send(WM_HMAPP_GET_NEXT_CHANGE, 1, 0);
  times.push_back(static_cast<DWORD>(Send(WM_HMAPP_GET_CHANGE_TIME, h)));
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    ForgetChange(objects_.tracking, kContacts, 1000);  // the change at 100
  }
  for (h = Send(WM_HMAPP_GET_NEXT_CHANGE, 1, 0); h != 0; h = Send(WM_HMAPP_GET_NEXT_CHANGE, 1, 0)) {
    times.push_back(static_cast<DWORD>(Send(WM_HMAPP_GET_CHANGE_TIME, h)));
  }
  EXPECT_EQ(times, (std::vector<DWORD>{400, 300, 200}));
}

TEST_F(ChangeListTest, HandlesAnswerTheirChangeAndTrace) {
  Track(kContacts, {500});
  TraceCapture trace;
  Send(WM_HMAPP_START_CHANGE_LIST, kContacts);
  LRESULT h = Send(WM_HMAPP_GET_NEXT_CHANGE, 0, 0);
  ASSERT_NE(h, 0);
  EXPECT_EQ(Send(WM_HMAPP_GET_CHANGE_TYPE, h), ChangeTypeModify);
  EXPECT_EQ(Send(WM_HMAPP_GET_CHANGE_OID, h), 1000);
  EXPECT_EQ(Send(WM_HMAPP_GET_CHANGE_TIME, h), 500);
  EXPECT_EQ(static_cast<DWORD>(Send(WM_HMAPP_GET_MAPI_UID, h)), kNoUid);
  EXPECT_EQ(Send(WM_HMAPP_GET_CHANGE_RESERVED, h), 0);
  std::vector<std::string> lines = trace.Lines();
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], "Got WM_HMAPP_START_CHANGE_LIST message, returning 00000001");
  EXPECT_EQ(lines[2], "Got WM_HMAPP_GET_CHANGE_TYPE message, returning 00000003");
  EXPECT_EQ(lines[3], "Got WM_HMAPP_GET_CHANGE_OID message, returning 000003e8");
  EXPECT_EQ(lines[4], "Got WM_HMAPP_GET_CHANGE_TIME message, returning 000001f4");
  EXPECT_EQ(lines[5], "Got WM_HMAPP_GET_MAPI_UID message, returning ffffffff");
}

// A handle must never reach a released entry: once its list is released
// (end of the walk, or any other reader ending it), or for a number the walk
// never gave, every field request answers 0.
TEST_F(ChangeListTest, StaleAndUnknownHandlesAnswerZero) {
  TrackedDb* node = Track(kContacts, {100, 200});
  Send(WM_HMAPP_START_CHANGE_LIST, kContacts);
  LRESULT h = Send(WM_HMAPP_GET_NEXT_CHANGE, 0, 0);
  ASSERT_NE(h, 0);
  EXPECT_EQ(Send(WM_HMAPP_GET_CHANGE_OID, h + 1000), 0) << "never issued";

  EndClassLog(kContacts);
  EXPECT_EQ(Send(WM_HMAPP_GET_CHANGE_TIME, h), 0) << "list released";
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    EXPECT_EQ(node->pLog->NewestEntry(), nullptr);
  }

  Send(WM_HMAPP_START_CHANGE_LIST, kContacts);
  LRESULT h2 = Send(WM_HMAPP_GET_NEXT_CHANGE, 0, 0);
  ASSERT_NE(h2, 0);
  Send(WM_HMAPP_END_CHANGE_LIST, kContacts);
  EXPECT_EQ(Send(WM_HMAPP_GET_CHANGE_OID, h2), 0) << "after the walk's end";
  EXPECT_EQ(Send(WM_HMAPP_GET_NEXT_CHANGE, 1, 0), 0) << "no walk after the end";
}

// A client that walks round and round without ever ending the list must
// not make the system keep a handle per step: each entry keeps one handle,
// and the handles of a list released meanwhile are let go.
TEST_F(ChangeListTest, HandlesStayOnePerLoadedEntryHoweverLongTheWalk) {
  TrackedDb* node = Track(kContacts, {100, 200, 300});
  Send(WM_HMAPP_START_CHANGE_LIST, kContacts);
  std::vector<LRESULT> first;
  for (LRESULT h = Send(WM_HMAPP_GET_NEXT_CHANGE, 0, 0); h != 0;
       h = Send(WM_HMAPP_GET_NEXT_CHANGE, 1, 0)) {
    first.push_back(h);
  }
  ASSERT_EQ(first.size(), 3u);
  std::vector<LRESULT> sorted = first;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end()) << "one per entry";

  for (int i = 0; i < 200000; ++i) {
    LRESULT h = Send(WM_HMAPP_GET_NEXT_CHANGE, 1, 0);
    if (h == 0) continue;
    if (h != first[0] && h != first[1] && h != first[2]) {
      FAIL() << "step " << i << " gave a new handle " << h;
    }
  }
  EXPECT_EQ(objects_.changeList.handles.size(), 3u);
  EXPECT_EQ(objects_.changeList.entryHandles.size(), 3u);
  EXPECT_EQ(Send(WM_HMAPP_GET_CHANGE_TIME, first[0]), 300) << "the handle still answers";

  // The list goes and comes back (another reader ended it): the old handles
  // are stale, and the first new one lets them go.
  EndClassLog(kContacts);
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    node->pLog->LoadLog();
  }
  LRESULT fresh = Send(WM_HMAPP_GET_NEXT_CHANGE, 0, 0);
  ASSERT_NE(fresh, 0);
  EXPECT_EQ(Send(WM_HMAPP_GET_CHANGE_TIME, first[1]), 0);
  EXPECT_EQ(objects_.changeList.handles.size(), 1u);
  EXPECT_EQ(Send(WM_HMAPP_GET_CHANGE_TIME, fresh), 300);
}

TEST_F(ChangeListTest, AClassWithoutADatabaseAnswersZero) {
  EXPECT_EQ(Send(WM_HMAPP_START_CHANGE_LIST, 25), 0);
  EXPECT_EQ(Send(WM_HMAPP_GET_NEXT_CHANGE, 0, 0), 0);
  EXPECT_EQ(Send(WM_HMAPP_GET_NEXT_CHANGE, 1, 0), 0);
  EXPECT_EQ(Send(WM_HMAPP_END_CHANGE_LIST, 25), 0);
}

TEST_F(ChangeListTest, AnEmptyLogStartsButHasNoChange) {
  Track(kContacts, {});
  EXPECT_EQ(Send(WM_HMAPP_START_CHANGE_LIST, kContacts), 1);
  EXPECT_EQ(Send(WM_HMAPP_GET_NEXT_CHANGE, 0, 0), 0);
}

TEST_F(ChangeListTest, AClassWithTwoDatabasesWalksBoth) {
  Track(kContacts, {100, 300}, u"Contacts A");
  Track(kContacts, {200}, u"Contacts B");
  Send(WM_HMAPP_START_CHANGE_LIST, kContacts);
  std::vector<DWORD> times = Walk(kContacts, 0);
  std::sort(times.begin(), times.end());
  EXPECT_EQ(times, (std::vector<DWORD>{100, 200, 300}));
}

TEST_F(ChangeListTest, SyncStateRequests) {
  struct Case {
    LPARAM local;
    DWORD stored;
    LRESULT answered;
  } cases[] = {{0, SyncStateTracking, 0}, {2, SyncStateLost, 2}, {1, SyncStateNone, 1}, {7, SyncStateNone, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(Send(WM_HMAPP_SET_SYNC_STATE, 26, c.local), 1) << "lParam " << c.local;
    EXPECT_EQ(StoredState(26), c.stored) << "lParam " << c.local;
    EXPECT_EQ(Send(WM_HMAPP_GET_SYNC_STATE, 26), c.answered) << "lParam " << c.local;
  }
  EXPECT_EQ(Send(WM_HMAPP_GET_SYNC_STATE, 291), 1) << "no stored state";
  EXPECT_EQ(Send(WM_HMAPP_GET_VERSION), 13);
}

// Tracking set locally takes the current second as the class's horizon, as
// the peer's enable does; a time given afterwards only ever raises it. A
// class that is not tracking gets no horizon: it takes one when it enters
// tracking.
TEST_F(ChangeListTest, LocalTrackingTakesTheCurrentSecondAndInitOnlyRaises) {
  EXPECT_EQ(Send(WM_HMAPP_INIT_SYNC_TIME, 24, 1000), 1);
  EXPECT_EQ(Send(WM_HMAPP_GET_SYNC_TIME, 24), 0) << "not tracking";
  EXPECT_EQ(Send(WM_HMAPP_SET_SYNC_STATE, 24, 0), 1);  // lParam 0: tracking
  const LRESULT horizon = Send(WM_HMAPP_GET_SYNC_TIME, 24);
  EXPECT_GT(horizon, 1000);
  EXPECT_EQ(Send(WM_HMAPP_INIT_SYNC_TIME, 24, 2000), 1);
  EXPECT_EQ(Send(WM_HMAPP_GET_SYNC_TIME_ALT, 24), horizon);
}

}  // namespace
