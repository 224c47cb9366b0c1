// hmdevice's device-wide commands: init, config, reset and send.
//
// Each expects the device to be open in this process and runs on the
// calling thread.
#ifndef HOLLOWMARCH_TOOLS_HMDEVICE_SYSTEM_H_
#define HOLLOWMARCH_TOOLS_HMDEVICE_SYSTEM_H_

#include <optional>
#include <string>

#include "tools/hmdevice_io.h"

namespace hmdevice {

// The window class (and name) of the running system.
inline constexpr char16_t kServerWindowClass[] = u"Hollowmarch Replication Server";

// The device is open already; with `demo` the demo content is added (see
// tools/demo_device.h). Prints the device root.
int InitCommand(Io& io, bool demo);
// No key: every setting as "key=value" lines. A key: its value. A key and a
// value: sets it (the device refuses malformed values, exit 2).
int ConfigCommand(Io& io, const std::optional<std::string>& key, const std::optional<std::string>& value);
// Soft reset: the device's uptime starts again at 0.
int ResetCommand(Io& io);
// Sends the message to the system's window and prints the 32-bit result as
// an unsigned decimal. Exit 1 when no such window runs.
int SendCommand(Io& io, const std::string& message, const std::optional<std::string>& wparam,
                const std::optional<std::string>& lparam);

// Every user notification kept by the device, in handle order: tab-separated
// "HANDLE TIME APP FLAGS TITLE TEXT SOUND" lines or the JSON array; TIME is
// "YYYY-MM-DDTHH:MM:SS.mmm" as it was set.
int NotificationsCommand(Io& io, bool json);

}  // namespace hmdevice

#endif  // HOLLOWMARCH_TOOLS_HMDEVICE_SYSTEM_H_
