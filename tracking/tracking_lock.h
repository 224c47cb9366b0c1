// The tracking state's one lock, declared apart from the state so that the
// structures the state holds (the mail lists, the tracked-database table,
// the change logs) can name it on their own operations without including
// the state that includes them.
//
// TrackingState (tracking/tracking_state.h) derives from TrackingLock, so
// TrackingState::systemLock and TrackingLock::systemLock are one and the
// same lock, to the compiler and to clang's analysis: callers take it as
// TrackingState::systemLock, and a structure's header says
// REQUIRES(TrackingLock::systemLock) of an operation that must be called
// with it held. See tracking/tracking_state.h for what it guards and
// tracking/system_lock.h for how it is taken.
#ifndef HOLLOWMARCH_TRACKING_TRACKING_LOCK_H_
#define HOLLOWMARCH_TRACKING_TRACKING_LOCK_H_

#include "platform/mutex.h"

class TrackingLock {
 public:
  // Lives for the whole process.
  static platform::Mutex systemLock;
};

#endif  // HOLLOWMARCH_TRACKING_TRACKING_LOCK_H_
