// GetDiskFreeSpaceExW (system_info.h): the object store's own figures for
// the root, the host file system's for the two volume folders.
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/device_state.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "platform/store_db.h"
#include "platform/system_info.h"

namespace {

struct Space {
  uint64_t available = 0;  // to the caller
  uint64_t total = 0;
  uint64_t free = 0;
};

bool HostSpace(const std::string& path, Space* space) {
  struct statvfs st;
  if (statvfs(path.c_str(), &st) != 0) return false;
  space->total = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
  space->free = static_cast<uint64_t>(st.f_bfree) * st.f_frsize;
  space->available = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}

// With a store-capacity the store answers capacity and what is left of it;
// without one, the host file system that holds the root answers.
DWORD StoreSpace(Space* space) {
  DWORD error = ERROR_SUCCESS;
  platform::store::Connection* conn = platform::store::ThreadConnection(&error);
  if (conn == nullptr) return error;
  static const char kSql[] = "SELECT value FROM settings WHERE key = 'store-capacity'";
  uint64_t capacity = 0;
  {
    platform::store::Query q(conn, kSql);
    if (q.Step()) {
      capacity = q.IsNull(0) ? 0 : std::strtoull(q.Text(0).c_str(), nullptr, 10);
    } else if (q.error() != ERROR_SUCCESS) {
      return q.error();
    }
  }
  if (capacity > 0) {
    int64_t counted = 0;
    error = platform::store::StoreUsedBytes(conn, &counted);
    if (error != ERROR_SUCCESS) return error;
    const uint64_t used = static_cast<uint64_t>(std::max<int64_t>(0, counted));
    space->total = capacity;
    space->free = capacity > used ? capacity - used : 0;
    space->available = space->free;
  } else if (!HostSpace(platform::DeviceRoot(), space)) {
    return ERROR_ACCESS_DENIED;
  }
  if (auto forced = platform::fault::StoreFreeBytesOverride()) {
    space->free = *forced;
    space->available = *forced;
    space->total = std::max(space->total, *forced);
  }
  return ERROR_SUCCESS;
}

// "Storage Card" or "Program Files", with or without one leading backslash
// and compared without regard to ASCII case; "" for another name.
std::string VolumeFolder(std::u16string_view name) {
  if (!name.empty() && name.front() == u'\\') name.remove_prefix(1);
  for (const char* volume : {"Storage Card", "Program Files"}) {
    std::string_view v(volume);
    if (name.size() != v.size()) continue;
    bool same = true;
    for (size_t i = 0; i < v.size(); ++i) {
      char16_t c = name[i];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      char d = v[i] >= 'A' && v[i] <= 'Z' ? static_cast<char>(v[i] - 'A' + 'a') : v[i];
      if (c != static_cast<char16_t>(d)) same = false;
    }
    if (same) return volume;
  }
  return "";
}

}  // namespace

BOOL GetDiskFreeSpaceExW(LPCWSTR directory, ULARGE_INTEGER* free_to_caller,
                         ULARGE_INTEGER* total_bytes, ULARGE_INTEGER* total_free_bytes) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kGetDiskFreeSpaceExW, &error)) {
    SetLastError(error);
    return FALSE;
  }
  std::u16string_view name = directory != nullptr ? std::u16string_view(directory) : u"";
  Space space;
  if (name.empty() || name == u"\\") {
    error = StoreSpace(&space);
  } else {
    std::string volume = VolumeFolder(name);
    if (volume.empty() || !platform::DeviceIsOpen()) {
      error = ERROR_FILE_NOT_FOUND;
    } else if (!HostSpace(platform::DeviceRoot() + "/" + volume, &space)) {
      error = ERROR_FILE_NOT_FOUND;
    }
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  if (free_to_caller != nullptr) free_to_caller->QuadPart = space.available;
  if (total_bytes != nullptr) total_bytes->QuadPart = space.total;
  if (total_free_bytes != nullptr) total_free_bytes->QuadPart = space.free;
  return TRUE;
}
