// Word to the service manager that started the program, when one did and
// asked for it (NOTIFY_SOCKET set, as systemd does for a Type=notify unit):
// READY=1 once the server listens, a STATUS= line that says where it
// listens and which classes are tracked (kept up to date as the sync states
// change), and STOPPING=1 when the close begins. Without NOTIFY_SOCKET every
// call does nothing.
//
// Threads: the window thread calls these while it handles a message, with
// systemLock held. The status also follows SetSyncState on whichever thread
// makes it (the worker, for the peer's commands), under the same lock.
#ifndef HOLLOWMARCH_SHELL_SERVICE_NOTIFY_H_
#define HOLLOWMARCH_SHELL_SERVICE_NOTIFY_H_

#include "tracking/tracking_state.h"

struct ProcessObjects;

// At window creation, after the server started: the start line on standard
// error ("hollowmarch: listening on ...", information level, also without a
// service manager), READY=1 and the status.
// From here on each sync-state change sends the status again.
void NotifyServiceReady(ProcessObjects& p) REQUIRES(TrackingState::systemLock);

// After the server was restarted: the status, with the restarts so far.
void NotifyServiceRestarted(ProcessObjects& p) REQUIRES(TrackingState::systemLock);

// At the start of the close: STOPPING=1 and a status that says so; sync-state
// changes of the teardown send nothing more.
void NotifyServiceStopping();

#endif  // HOLLOWMARCH_SHELL_SERVICE_NOTIFY_H_
