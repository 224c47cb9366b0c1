// The device: a directory (the device root) that every process of one
// handheld opens. It holds the object store and the registry (SQLite, WAL
// journal), the volume folders "Storage Card/" and "Program Files/", the
// device settings and the runtime files of windows between processes.
//
// A process opens one device before its first device call and keeps it
// until exit (tests may close it and open another). OpenDevice and
// CloseDevice must not race with other platform calls.
#ifndef HOLLOWMARCH_PLATFORM_DEVICE_H_
#define HOLLOWMARCH_PLATFORM_DEVICE_H_

#include <cstdint>
#include <optional>
#include <string>

#include "platform/device_state.h"
#include "platform/status.h"

namespace platform {

// The root to use: `flag` when not empty, else $HOLLOWMARCH_ROOT, else
// ${XDG_STATE_HOME:-$HOME/.local/state}/hollowmarch.
std::string ResolveDeviceRoot(const std::string& flag);

// Opens the device at `root`, creating it and its missing parents (mode
// 0700) on first use. Everything in it is private to the user whatever the
// umask: the root and the volume folders get mode 0700, the object store
// and its journal files 0600, also when the root existed with wider modes
// (each widening closed is told as a warning on standard error). Refused
// with a message naming the path: a root or a file of another user, and a
// root that other users can write.
Status OpenDevice(const std::string& root);
// Closes the device: every handle of this process becomes invalid.
void CloseDevice();
// DeviceIsOpen, DeviceRoot, ResetDevice and DeviceUptimeMs: see
// platform/device_state.h.

// Device settings, stored with the device:
//   os-version      what GetVersionExW reports, "major.minor"; default "3.0"
//   store-capacity  bytes the object store may use; 0 (default) = the free
//                   space of the host file system that holds the root
//   timezone        IANA zone name of the device's local time; "" (default)
//                   = the host's
//   clock-offset    seconds added to the host's clock to give the device's
//                   (GetSystemTime), signed; "0" (default). Every process of
//                   the device follows a change within a quarter of a second
//                   (at once in the process that made it): as a user or a
//                   desktop setting the handheld's time, forward or back.
// SetDeviceSetting rejects an unknown key or a malformed value with a message
// naming the problem, changing nothing.
std::string GetDeviceSetting(const std::string& key);
// The setting as stored (its default when never set): false, *value
// untouched, when it cannot be read (no device open, a busy store).
bool ReadDeviceSetting(const std::string& key, std::string* value);

// clock-offset in seconds, for the platform's clock: read again at most
// every quarter of a second (at once after this process set it); a setting
// that cannot be read keeps the last value read. Any thread.
int64_t DeviceClockOffsetSeconds();
Status SetDeviceSetting(const std::string& key, const std::string& value);

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_DEVICE_H_
