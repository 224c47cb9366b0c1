#include "settings/sync_state_cache.h"

#include <gtest/gtest.h>

namespace {

TEST(SyncStateCacheTest, SlotsStartUncachedAndHoldWhatWasStored) {
  SyncStateCache cache;
  DWORD state = 99;
  for (DWORD dataClass : kDataClasses) {
    EXPECT_FALSE(cache.Lookup(dataClass, &state)) << "class " << dataClass;
  }
  cache.Store(5454, SyncStateTracking);
  cache.Store(7, SyncStateLost);  // no slot: ignored
  EXPECT_TRUE(cache.Lookup(5454, &state));
  EXPECT_EQ(state, SyncStateTracking);
  EXPECT_FALSE(cache.Lookup(7, &state));
  EXPECT_FALSE(cache.Lookup(291, &state));
  cache.Store(291, SyncStateNone);
  EXPECT_TRUE(cache.Lookup(291, &state));
  EXPECT_EQ(state, SyncStateNone);
}

TEST(SyncStateCacheTest, SlotOrderFollowsTheClassIndexes) {
  EXPECT_EQ(SyncStateCache::SlotOf(24), 0);
  EXPECT_EQ(SyncStateCache::SlotOf(26), 2);
  EXPECT_EQ(SyncStateCache::SlotOf(5454), 4);
  EXPECT_EQ(SyncStateCache::SlotOf(280), -1);
}

}  // namespace
