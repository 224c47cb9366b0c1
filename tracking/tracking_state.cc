#include "tracking/tracking_state.h"

platform::Mutex TrackingLock::systemLock;

// The table only keeps the cache's address here; it uses the cache later,
// under the lock.
TrackingState::TrackingState(HWND hwndNotify) : trackedDbs(syncStates), hwndMain(hwndNotify) {}
