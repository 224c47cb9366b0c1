#include "tracking/sync_horizon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/fault.h"
#include "settings/registry_store.h"
#include "tests/support/temp_device.h"
#include "tracking/clock.h"

namespace {

using platform::fault::Call;

constexpr DWORD kClass = 24;

class SyncHorizonTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::fault::Clear(); }

  // The class as the registry and a fresh process's cache hold it.
  void Prepare(DWORD state, DWORD syncTime, DWORD lastSyncTime = 0) {
    SyncStateCache scratch;
    ASSERT_TRUE(SetSyncState(scratch, kClass, state));
    ASSERT_TRUE(SetSyncTime(kClass, syncTime));
    ASSERT_TRUE(SetLastSyncTime(kClass, lastSyncTime));
  }

  DWORD State() { return GetSyncState(cache_, kClass); }

  hmtest::TempDevice device_;
  SyncStateCache cache_;
};

// Entering tracking from any state but tracking takes a new horizon: never a
// time left in the registry, and always later than every anchor the class
// handed out, also by an instance that has closed since.
TEST_F(SyncHorizonTest, EnteringTakesASecondAfterEveryAnchor) {
  struct Case {
    const char* name;
    DWORD state;
    DWORD syncTime;
    DWORD lastAnchor;  // seconds before now
    bool keeps;
  } cases[] = {
      {"tracking keeps its horizon", SyncStateTracking, 1000, 50, true},
      {"none, with a time left", SyncStateNone, 1000, 50, false},
      {"lost, with a time left by a purge", SyncStateLost, 1000, 50, false},
      {"lost in the second of an anchor", SyncStateLost, 0, 0, false},
      {"tracking without a horizon", SyncStateTracking, 0, 50, false},
  };
  platform::fault::SetClock(100000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SyncStateCache cache;
    Prepare(c.state, c.syncTime, 100000 - c.lastAnchor);
    // The clock moves on a second while the enable waits for it.
    std::thread tick;
    if (c.lastAnchor == 0) {
      tick = std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        platform::fault::SetClock(100001);
      });
    }
    ASSERT_TRUE(EnterTracking(cache, kClass));
    if (tick.joinable()) tick.join();
    EXPECT_EQ(GetStoredSyncState(kClass), SyncStateTracking);
    const DWORD horizon = GetSyncTime(kClass);
    if (c.keeps) {
      EXPECT_EQ(horizon, c.syncTime);
    } else {
      EXPECT_EQ(horizon, CurrentTime());
      EXPECT_GT(horizon, 100000 - c.lastAnchor) << "later than the last anchor";
    }
    platform::fault::SetClock(100000);
  }
}

// The purge and the trim only raise a tracking class's horizon; a class
// that is not tracking is left as it is, and a raise that cannot be written
// loses the class.
TEST_F(SyncHorizonTest, RaisingMovesOnlyATrackingHorizonAndOnlyUp) {
  struct Case {
    const char* name;
    DWORD state;
    DWORD syncTime;
    DWORD raiseTo;
    bool writeFails;
    DWORD expectedState;
    DWORD expectedTime;
  } cases[] = {
      {"tracking, raised", SyncStateTracking, 500, 700, false, SyncStateTracking, 700},
      {"tracking, never lowered", SyncStateTracking, 500, 300, false, SyncStateTracking, 500},
      {"lost stays at 0", SyncStateLost, 0, 700, false, SyncStateLost, 0},
      {"none keeps its time", SyncStateNone, 5, 700, false, SyncStateNone, 5},
      {"a failed write loses", SyncStateTracking, 500, 700, true, SyncStateLost, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SyncStateCache cache;
    Prepare(c.state, c.syncTime);
    if (c.writeFails) platform::fault::FailNext(Call::kRegSetValueExW, ERROR_DISK_FULL);
    EXPECT_EQ(RaiseSyncTime(cache, kClass, c.raiseTo), !c.writeFails);
    EXPECT_EQ(GetSyncState(cache, kClass), c.expectedState);
    EXPECT_EQ(GetStoredSyncState(kClass), c.expectedState);
    EXPECT_EQ(GetSyncTime(kClass), c.expectedTime);
  }
}

// A rewrite holds the class lost and ends with the later of the old horizon
// and what the rewritten log holds: a trim after a loss and a re-enable must
// not lower the horizon to the oldest entry kept.
TEST_F(SyncHorizonTest, ARewriteHoldEndsWithTheLaterHorizon) {
  for (DWORD oldest : {300u, 700u}) {
    SCOPED_TRACE(oldest);
    Prepare(SyncStateTracking, 500);
    bool held = false;
    DWORD horizon = 0;
    ASSERT_TRUE(HoldForRewrite(cache_, kClass, &held, &horizon));
    EXPECT_TRUE(held);
    EXPECT_EQ(horizon, 500u);
    EXPECT_EQ(GetStoredSyncState(kClass), SyncStateLost) << "during the rewrite";
    EndRewriteHold(cache_, kClass, horizon, oldest);
    EXPECT_EQ(State(), SyncStateTracking);
    EXPECT_EQ(GetSyncTime(kClass), std::max(500u, oldest));
  }
}

// The horizon is written first and the state last; when the state cannot be
// written the cache does not say tracking either.
TEST_F(SyncHorizonTest, AFailedWriteWhileEnteringLosesTheClass) {
  for (int skip : {0, 1}) {
    SCOPED_TRACE(skip == 0 ? "horizon write fails" : "state write fails");
    SyncStateCache cache;
    Prepare(SyncStateLost, 0);
    platform::fault::SetClock(100000);
    platform::fault::FailNext(Call::kRegSetValueExW, ERROR_DISK_FULL, 1, skip);
    EXPECT_FALSE(EnterTracking(cache, kClass));
    EXPECT_NE(GetSyncState(cache, kClass), SyncStateTracking);
    EXPECT_NE(GetStoredSyncState(kClass), SyncStateTracking);
  }
}

// A clock set back before a time the class recorded loses a tracking class,
// which cannot enter tracking again until the clock has passed that time.
TEST_F(SyncHorizonTest, AClockSetBackLosesTheClassUntilItCatchesUp) {
  Prepare(SyncStateTracking, 900, 1000);
  platform::fault::SetClock(1000);
  EXPECT_TRUE(ClockKeepsOrder(cache_, kClass, CurrentTime())) << "the same second";
  NoteRecordedTime(cache_, kClass, 1200);  // a change stamped later
  platform::fault::SetClock(1100);
  EXPECT_FALSE(ClockKeepsOrder(cache_, kClass, CurrentTime()));
  EXPECT_EQ(State(), SyncStateLost);
  EXPECT_EQ(GetStoredSyncState(kClass), SyncStateLost);
  EXPECT_FALSE(EnterTracking(cache_, kClass)) << "still before the recorded time";
  EXPECT_EQ(State(), SyncStateLost);
  // An anchor answered now keeps the later time for the next process,
  // which must not enter tracking before the clock has passed it either.
  EXPECT_EQ(NoteAnchor(cache_, kClass, 1100), 1200u);
  ASSERT_TRUE(SetLastSyncTime(kClass, 1200));
  SyncStateCache nextProcess;
  EXPECT_FALSE(EnterTracking(nextProcess, kClass));
  platform::fault::SetClock(1201);
  EXPECT_TRUE(EnterTracking(cache_, kClass));
  EXPECT_EQ(GetSyncTime(kClass), 1201u);
}

// A loss that cannot be written (by capture or by the worker) stays unsaved
// until a later write succeeds, so that capture holds back its
// acknowledgements meanwhile; the cache reads lost throughout.
TEST_F(SyncHorizonTest, ALossThatCannotBeWrittenStaysUnsavedUntilWritten) {
  Prepare(SyncStateTracking, 500);
  platform::fault::FailNext(Call::kRegSetValueExW, ERROR_DISK_FULL, 2);
  EXPECT_FALSE(LoseClass(cache_, kClass));
  EXPECT_EQ(State(), SyncStateLost);
  EXPECT_EQ(GetStoredSyncState(kClass), SyncStateTracking);
  EXPECT_TRUE(LossesUnsaved(cache_));
  EXPECT_FALSE(WriteUnsavedLosses(cache_)) << "the second write fails too";
  EXPECT_TRUE(LossesUnsaved(cache_));
  EXPECT_TRUE(WriteUnsavedLosses(cache_));
  EXPECT_FALSE(LossesUnsaved(cache_));
  EXPECT_EQ(GetStoredSyncState(kClass), SyncStateLost);
  EXPECT_EQ(GetSyncTime(kClass), 0u);
}

}  // namespace
