// Small text files in the open device's runtime folder that one process
// writes whole and others read: what the running server tells about itself
// (where it listens, which peer is connected) for hmdevice status.
//
// Threads: any. A write replaces the file at once (a reader sees the old
// text or the new, never a mix); the files are private to the owner.
#ifndef HOLLOWMARCH_PLATFORM_RUNTIME_FILE_H_
#define HOLLOWMARCH_PLATFORM_RUNTIME_FILE_H_

#include <optional>
#include <string>

namespace platform {

// Replaces the runtime file `name` (a plain file name) with `text`. False
// when no device is open or the file cannot be written; the reader then
// finds the old text or none.
bool WriteRuntimeFile(const std::string& name, const std::string& text);
// The file's text; nullopt when no device is open or there is no such file.
std::optional<std::string> ReadRuntimeFile(const std::string& name);
// Removes it; harmless when it is not there.
void RemoveRuntimeFile(const std::string& name);

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_RUNTIME_FILE_H_
