#include "tracking/clock.h"

#include <gtest/gtest.h>

#include "platform/fault.h"
#include "tests/support/temp_device.h"

namespace {

using platform::fault::SetClock;
using platform::fault::SetUptimeMs;

TEST(ClockTest, CurrentTimeIsUnixSecondsTruncatedTo32Bits) {
  hmtest::TempDevice device;
  struct Case {
    const char* name;
    uint64_t clock;
    DWORD expected;
  } cases[] = {
      {"epoch", 0, 0},
      {"ordinary", 1700000000, 1700000000},
      {"top bit set", 0x80000001ULL, 0x80000001u},
      {"past 2106 wraps", 0x100000005ULL, 5},
  };
  for (const Case& c : cases) {
    SetClock(c.clock);
    EXPECT_EQ(CurrentTime(), c.expected) << "case " << c.name;
  }
}

TEST(ClockTest, BootedRecentlyBelowThirtySeconds) {
  hmtest::TempDevice device;
  struct Case {
    uint64_t uptime_ms;
    bool expected;
  } cases[] = {{0, true}, {29999, true}, {30000, false}, {3600000, false}};
  for (const Case& c : cases) {
    SetUptimeMs(c.uptime_ms);
    EXPECT_EQ(BootedRecently(), c.expected) << "case " << c.uptime_ms << " ms";
  }
}

}  // namespace
