#include "platform/runtime_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/device_state.h"
#include "platform/window_registration.h"

namespace platform {
namespace {

std::string PathOf(const std::string& name) { return DeviceRoot() + "/run/" + name; }

}  // namespace

bool WriteRuntimeFile(const std::string& name, const std::string& text) {
  if (DeviceRoot().empty() || !ipc::EnsureRunDir(DeviceRoot())) return false;
  // Written beside it and renamed over it: a reader never sees half.
  const std::string path = PathOf(name);
  const std::string temp = path + ".new." + std::to_string(getpid());
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool written = close(fd) == 0 && done == text.size();
  if (!written || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

std::optional<std::string> ReadRuntimeFile(const std::string& name) {
  if (DeviceRoot().empty()) return std::nullopt;
  std::ifstream in(PathOf(name), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void RemoveRuntimeFile(const std::string& name) {
  if (!DeviceRoot().empty()) unlink(PathOf(name).c_str());
}

}  // namespace platform
