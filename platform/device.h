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

// True when `root` holds a device: a folder with the object store in it.
bool HoldsDevice(const std::string& root);

// How OpenDevice treats a root that holds no device yet.
enum class DeviceCreation {
  kOpenOnly,        // refused ("no device at ROOT"), nothing is made
  kCreateIfEmpty,   // a missing root or an empty folder becomes a new device
};

// Opens the device at `root`. A root that holds a device is opened; with
// kCreateIfEmpty, a missing root is made (with its missing parents) and a
// new device is made in it or in an empty folder. Any other folder is
// refused with a message that names it: it is not ours to fill.
//
// Everything the program makes is private to the user whatever the umask:
// folders 0700, the object store and its journal files 0600 (one of them
// found wider is closed, with a warning on standard error). A root made
// beforehand is never changed: one that other users may read, search or
// write is refused with the chmod to run, and so is a root or a file of
// another user.
Status OpenDevice(const std::string& root,
                  DeviceCreation creation = DeviceCreation::kCreateIfEmpty);
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
