#include "tests/support/temp_device.h"

#include <cstdlib>
#include <filesystem>

#include "gtest/gtest.h"
#include "platform/device.h"
#include "platform/fault.h"
#include "platform/object_store.h"

namespace hmtest {

HANDLE OpenDeviceDatabase(const std::string& root, const std::string& name) {
  if (!platform::OpenDevice(root).ok()) return INVALID_HANDLE_VALUE;
  const std::u16string wide(name.begin(), name.end());
  CEOID db = 0;
  return CeOpenDatabase(&db, wide.c_str(), 0, 0, 0);
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/hmtest-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TempDevice::TempDevice(bool open) : opened_(open) {
  platform::fault::Clear();
  platform::Status s = platform::OpenDevice(dir_.path());
  if (!s.ok()) ADD_FAILURE() << "OpenDevice: " << s.message();
  if (!open) platform::CloseDevice();
}

TempDevice::~TempDevice() {
  if (opened_) platform::CloseDevice();
  platform::fault::Clear();
}

}  // namespace hmtest
