// The one process-wide lock of the tracking state (tracking/tracking_state.h
// says what it guards and who takes it), declared apart from the state so
// that the classes the state holds by value (the tracked-database table, the
// change logs) can name it in their annotations before the state is
// declared. TrackingState derives from it: TrackingState::systemLock and
// TrackingLock::systemLock are one lock, to the program and to the clang
// analysis.
#ifndef HOLLOWMARCH_TRACKING_TRACKING_LOCK_H_
#define HOLLOWMARCH_TRACKING_TRACKING_LOCK_H_

#include "platform/mutex.h"

class TrackingLock {
 public:
  // Lives for the whole process.
  static platform::Mutex systemLock;
};

#endif  // HOLLOWMARCH_TRACKING_TRACKING_LOCK_H_
