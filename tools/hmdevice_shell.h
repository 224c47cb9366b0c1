// hmdevice's commands that read what the running system keeps: a class's
// change list (through the local change-list requests to its window) and
// the system's status.
#ifndef HOLLOWMARCH_TOOLS_HMDEVICE_SHELL_H_
#define HOLLOWMARCH_TOOLS_HMDEVICE_SHELL_H_

#include <optional>
#include <string>

#include "tools/hmdevice_io.h"

namespace hmdevice {

// Walks the change list of data class `class_text` (decimal or 0x-hex) from
// `since` (seconds since 1970, default 0) through the running system's
// window, newest first: "TYPE TIME OID UID RESERVED" lines, or the JSON
// array [{"type":N,"time":N,"oid":N,"uid":N,"reserved":N}, ...]. Exit 1
// when the system does not run or the class has no tracked database.
int ChangesCommand(Io& io, const std::string& class_text, const std::optional<std::string>& since,
                   bool json);

// Whether the system runs, and per class its sync state, sync time, last
// sync time, the databases of the class on the device and the records of
// its change logs. Read from the registry and the store, so it works
// whether or not the system runs.
int StatusCommand(Io& io, bool json);

}  // namespace hmdevice

#endif  // HOLLOWMARCH_TOOLS_HMDEVICE_SHELL_H_
