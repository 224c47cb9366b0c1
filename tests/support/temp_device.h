// A fresh device in a temporary directory for one test: made (and opened in
// this process unless asked not to) on construction, closed and removed on
// destruction. Also clears the failure seam both times.
#ifndef HOLLOWMARCH_TESTS_SUPPORT_TEMP_DEVICE_H_
#define HOLLOWMARCH_TESTS_SUPPORT_TEMP_DEVICE_H_

#include <string>

#include "platform/types.h"

namespace hmtest {

// For a helper program another test starts: opens the device at `root` in
// this process and the database named `name` (ASCII) on it. The handle, or
// INVALID_HANDLE_VALUE when either cannot be opened.
HANDLE OpenDeviceDatabase(const std::string& root, const std::string& name);

// A new empty directory under $TMPDIR (or /tmp), removed with its contents
// on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class TempDevice {
 public:
  // Makes the device (the programs open only a root that holds one); open:
  // keeps it open in this process, else closes it again at once.
  explicit TempDevice(bool open = true);
  ~TempDevice();
  TempDevice(const TempDevice&) = delete;
  TempDevice& operator=(const TempDevice&) = delete;
  const std::string& root() const { return dir_.path(); }

 private:
  TempDir dir_;
  bool opened_;
};

}  // namespace hmtest

#endif  // HOLLOWMARCH_TESTS_SUPPORT_TEMP_DEVICE_H_
