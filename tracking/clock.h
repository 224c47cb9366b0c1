// The system's time stamp and its start-up test.
#ifndef HOLLOWMARCH_TRACKING_CLOCK_H_
#define HOLLOWMARCH_TRACKING_CLOCK_H_

#include "platform/types.h"

// Seconds since 1970-01-01 00:00:00 UTC, from the device clock, truncated to
// 32 bits. Every time the system stores or compares is taken here and
// compared unsigned. Any thread.
DWORD CurrentTime();

// True when the device started less than 30 seconds ago (GetTickCount() /
// 1000 < 30): a change log found then survived a restart of this program
// only, and may be kept. Any thread.
bool BootedRecently();

#endif  // HOLLOWMARCH_TRACKING_CLOCK_H_
