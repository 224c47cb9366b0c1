// Test helper: a ChangeLog's list rules (ChangeLog::CheckInvariants) as a
// GoogleTest assertion, so that a test can check them after each operation
// that changes the list and see what broke. Header-only; tests only.
#ifndef HOLLOWMARCH_TRACKING_CHANGE_LOG_CHECKS_H_
#define HOLLOWMARCH_TRACKING_CHANGE_LOG_CHECKS_H_

#include <gtest/gtest.h>

#include "tracking/change_log.h"

inline ::testing::AssertionResult ListSound(const ChangeLog& log)
    REQUIRES(TrackingLock::systemLock) {
  const char* broken = log.CheckInvariants();
  if (broken == nullptr) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "class " << log.DataClass() << ": " << broken;
}

inline ::testing::AssertionResult ListSound(const ChangeLog* log)
    REQUIRES(TrackingLock::systemLock) {
  return ListSound(*log);
}

// Checks the list of `log` (a ChangeLog or a pointer to one) where it stands.
#define EXPECT_LIST_SOUND(log) EXPECT_TRUE(ListSound(log))

#endif  // HOLLOWMARCH_TRACKING_CHANGE_LOG_CHECKS_H_
