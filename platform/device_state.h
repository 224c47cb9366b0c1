// Which device this process has open, and the device's clock. Part of the
// device's interface (platform/device.h includes this header); kept apart
// from the opening and closing of a device so that the parts of the platform
// that only need to know the open root or the uptime (the kernel's tick
// count, the windows' runtime folder, the free space) do not depend on what
// opening a device sets in motion (the store, the notifier, the handles).
//
// The root changes only in OpenDevice and CloseDevice, which must not race
// with other platform calls; the reads may come from any thread.
#ifndef HOLLOWMARCH_PLATFORM_DEVICE_STATE_H_
#define HOLLOWMARCH_PLATFORM_DEVICE_STATE_H_

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace platform {

bool DeviceIsOpen();
// The root of the open device ("" when none).
const std::string& DeviceRoot();
// Records the root OpenDevice opened ("" from CloseDevice). For device.cc
// only.
void SetDeviceRoot(const std::string& root);

// Soft reset: the device's uptime (GetTickCount) starts again at 0 now.
Status ResetDevice();
// Milliseconds since the last soft reset, or the host's uptime when the
// device was never reset (or the host restarted since). 64-bit, not wrapped.
uint64_t DeviceUptimeMs();

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_DEVICE_STATE_H_
