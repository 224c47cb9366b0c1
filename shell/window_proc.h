// The hidden main window's procedure and the error box.
//
// Every message of the window thread arrives here: the window's creation
// (which discovers and tracks the classes and starts the server), the daily
// timer (purge), the object store's change notifications (capture), the
// worker's requests to restart the server or to close, the local change-list
// requests of other processes, and the close that ends the process.
//
// Threads: window thread only. The procedure is entered without
// TrackingState::systemLock and holds it while it handles a message, but for
// WM_DESTROY, which it handles without it (DestroyWindow sends it from inside
// the close, under the lock), and for a change notification, whose capture
// takes it with the store itself.
#ifndef HOLLOWMARCH_SHELL_WINDOW_PROC_H_
#define HOLLOWMARCH_SHELL_WINDOW_PROC_H_

#include "platform/types.h"
#include "tracking/tracking_state.h"

// The daily purge timer.
constexpr UINT kPurgeTimerId = 1;
constexpr UINT kPurgeTimerPeriodMs = 86400000;

// While another program writes one record after another, the window thread
// lets a group (up to kCaptureGroupMax, tracking/change_capture.h) fill
// before capture takes the store: it looks for more
// notifications every kCaptureGatherSliceMs for up to kCaptureGatherMaxMs,
// and stops once kCaptureGatherQuietSlices looks in a row found none (so a
// lone change waits that long, 3 ms).
constexpr int kCaptureGatherSliceMs = 1;
constexpr int kCaptureGatherQuietSlices = 3;
constexpr int kCaptureGatherMaxMs = 50;

// Attempts of a server restart before the system gives up and closes.
constexpr int kRestartAttempts = 3;

// The window procedure of the class szTitle; works on *pProcessObjects.
LRESULT MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
    EXCLUDES(TrackingState::systemLock);

// Plays "Critical Stop" and shows string `id` in a message box owned by the
// window, with szTitle as its caption. Nothing for an id without a string.
void ShowError(UINT id);

#endif  // HOLLOWMARCH_SHELL_WINDOW_PROC_H_
