// Windows between processes (internal to the platform).
//
// Window handles are device-wide: each is drawn from a counter in the
// device's runtime folder. A process that owns windows serves a Unix stream
// socket there, and each window it owns has a small registration file (its
// class, its name, the owner's pid and socket) so that other processes of the
// same device can find it and reach it. A registration whose owner no longer
// answers is never reported and is removed.
//
// Only the message number and the two 32-bit arguments cross; a sent message
// is queued to the window's thread in order with its other messages, and the
// sender waits for the result on its connection. A connection that breaks
// (the target died) ends the call with "not delivered".
//
// The receiving side queues to windows through platform/window_table.h.
//
// Every function may be called from any thread.
#ifndef HOLLOWMARCH_PLATFORM_WINDOW_IPC_H_
#define HOLLOWMARCH_PLATFORM_WINDOW_IPC_H_

#include <string>

#include "platform/types.h"

namespace platform::ipc {

// Makes the device's runtime folder (ROOT/run) where it is missing, private
// to the owner; false when it cannot be made or is not ours.
bool EnsureRunDir(const std::string& root);

// A new device-wide window handle (never 0, never reused on this device);
// 0 on failure.
HWND AllocateWindowHandle();
// Makes the window findable and reachable from other processes of the open
// device. False when that failed (the window still works in this process).
bool PublishWindow(HWND hwnd, const std::u16string& class_name, const std::u16string& name);
// Removes the window's registration; harmless when there is none.
void UnpublishWindow(HWND hwnd);

// A live window of another process with that folded class name (and folded
// name when name_key is not null); 0 when none.
HWND FindRemoteWindow(const std::u16string& class_key, const std::u16string* name_key);

// Sends to / posts to a window of another process. False when the message
// was not delivered (no such window, owner gone or died during the call);
// *result is then left alone.
bool SendRemote(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result);
bool PostRemote(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace platform::ipc

#endif  // HOLLOWMARCH_PLATFORM_WINDOW_IPC_H_
