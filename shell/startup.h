// The life of the process from entry to exit: close every running instance,
// act on the command line, create the hidden window and run the message
// loop.
#ifndef HOLLOWMARCH_SHELL_STARTUP_H_
#define HOLLOWMARCH_SHELL_STARTUP_H_

#include "platform/types.h"
#include "tracking/tracking_state.h"

struct ProcessObjects;

// The two command-line keywords. The whole command line is compared with
// each, without regard to ASCII case; anything else runs the system.
inline constexpr WCHAR kKeywordShutdown[] = u"Shutdown";
inline constexpr WCHAR kKeywordAppRunAfterRestore[] = u"AppRunAfterRestore";

// True when the whole command line is `keyword` (ASCII case ignored).
bool IsKeyword(LPCWSTR command_line, LPCWSTR keyword);

// How many running instances the start-up closes at most before it gives up
// (a window of the class that ignores WM_CLOSE would otherwise hold it).
constexpr int kMaxInstancesClosed = 64;

// Exit statuses besides the quit message's code.
constexpr int kExitStartFailed = 1;   // server start, window creation
constexpr int kExitInstanceStuck = 2; // a running instance would not close

// Runs the system on `objects` (constructed by the caller after the device
// was opened; pProcessObjects is set for the window's life). Returns the
// process's exit status: the quit message's code, 0 after `Shutdown`, or one
// of the failure statuses above with a line on standard error.
int WinMain(HINSTANCE instance, HINSTANCE previous, LPCWSTR command_line, int show,
            ProcessObjects& objects) EXCLUDES(TrackingState::systemLock);

#endif  // HOLLOWMARCH_SHELL_STARTUP_H_
