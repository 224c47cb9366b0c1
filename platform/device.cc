#include "platform/device.h"

#include <sys/stat.h>
#include <time.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/db_notifier.h"
#include "platform/fault.h"
#include "platform/handle_table.h"
#include "platform/store_db.h"

namespace platform {
namespace {

std::string open_root;  // "" when no device is open

const char kOsVersion[] = "os-version";
const char kStoreCapacity[] = "store-capacity";
const char kTimezone[] = "timezone";

struct SettingSpec {
  const char* key;
  const char* default_value;
};
constexpr SettingSpec kSettings[] = {
    {kOsVersion, "3.0"},
    {kStoreCapacity, "0"},
    {kTimezone, ""},
};

const SettingSpec* FindSetting(const std::string& key) {
  for (const SettingSpec& s : kSettings) {
    if (key == s.key) return &s;
  }
  return nullptr;
}

// Creates `path` and its missing parents, each private to the owner.
Status MakeDirectories(const std::string& path) {
  if (path.empty()) return Status::Error("the device root is empty");
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    std::string prefix = path.substr(0, i);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      return Status::Error("cannot create " + prefix + ": " + std::strerror(errno));
    }
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Status::Error(path + " is not a directory");
  }
  return Status::Ok();
}

uint64_t HostUptimeMs() {
  timespec ts;
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Identifies the host's current boot ("" when the host does not say).
std::string HostBootId() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id;
}

bool AllDigits(const std::string& s, size_t max_len) {
  if (s.empty() || s.size() > max_len) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

Status ValidateOsVersion(const std::string& value) {
  size_t dot = value.find('.');
  if (dot == std::string::npos || !AllDigits(value.substr(0, dot), 9) ||
      !AllDigits(value.substr(dot + 1), 9)) {
    return Status::Error("os-version must be MAJOR.MINOR (for example 3.0), not \"" + value +
                         "\"");
  }
  return Status::Ok();
}

Status ValidateCapacity(const std::string& value) {
  // 19 digits always fit in 64 bits.
  if (!AllDigits(value, 19)) {
    return Status::Error("store-capacity must be a number of bytes, not \"" + value + "\"");
  }
  return Status::Ok();
}

Status ValidateTimezone(const std::string& value) {
  if (value.empty()) return Status::Ok();
  bool safe = value[0] != '/' && value.find("..") == std::string::npos;
  for (char c : value) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '_' || c == '-' ||
          c == '+' || c == '.')) {
      safe = false;
    }
  }
  if (safe) {
    std::ifstream zone("/usr/share/zoneinfo/" + value, std::ios::binary);
    char magic[4] = {};
    if (zone.read(magic, 4) && std::memcmp(magic, "TZif", 4) == 0) return Status::Ok();
  }
  return Status::Error("timezone \"" + value + "\" is not a known time zone (for example " +
                       "Europe/Berlin)");
}

}  // namespace

std::string ResolveDeviceRoot(const std::string& flag) {
  if (!flag.empty()) return flag;
  const char* env = std::getenv("HOLLOWMARCH_ROOT");
  if (env != nullptr && *env != '\0') return env;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && *state != '\0') return std::string(state) + "/hollowmarch";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.local/state/hollowmarch";
}

Status OpenDevice(const std::string& root) {
  if (DeviceIsOpen()) CloseDevice();
  Status s = MakeDirectories(root);
  if (!s.ok()) return s;
  for (const char* volume : {"/Storage Card", "/Program Files"}) {
    s = MakeDirectories(root + volume);
    if (!s.ok()) return s;
  }
  s = store::OpenStore(root);
  if (!s.ok()) return s;
  open_root = root;
  PruneDeadWatches();
  return Status::Ok();
}

void CloseDevice() {
  StopDbNotifier();
  ClearHandles();
  store::CloseStore();
  open_root.clear();
}

bool DeviceIsOpen() { return !open_root.empty(); }

const std::string& DeviceRoot() { return open_root; }

std::string GetDeviceSetting(const std::string& key) {
  const SettingSpec* spec = FindSetting(key);
  if (spec == nullptr) return "";
  DWORD error = ERROR_SUCCESS;
  store::Connection* conn = store::ThreadConnection(&error);
  if (conn == nullptr) return spec->default_value;
  static const char kGet[] = "SELECT value FROM settings WHERE key = ?";
  store::Query q(conn, kGet);
  q.Bind(1, key);
  return q.Step() ? q.Text(0) : spec->default_value;
}

Status SetDeviceSetting(const std::string& key, const std::string& value) {
  Status valid;
  if (key == kOsVersion) {
    valid = ValidateOsVersion(value);
  } else if (key == kStoreCapacity) {
    valid = ValidateCapacity(value);
  } else if (key == kTimezone) {
    valid = ValidateTimezone(value);
  } else {
    return Status::Error("unknown device setting \"" + key +
                         "\" (known: os-version, store-capacity, timezone)");
  }
  if (!valid.ok()) return valid;
  std::string stored = value;
  if (key == kStoreCapacity) stored = std::to_string(std::strtoull(value.c_str(), nullptr, 10));
  DWORD error = ERROR_SUCCESS;
  store::Connection* conn = store::ThreadConnection(&error);
  if (conn == nullptr) return Status::Error("no device is open");
  static const char kSet[] = "INSERT OR REPLACE INTO settings(key, value) VALUES(?, ?)";
  store::Query q(conn, kSet);
  q.Bind(1, key).Bind(2, stored);
  if (q.Run() != ERROR_SUCCESS) {
    return Status::Error("cannot store " + key + ": " + store::LastErrorDetail());
  }
  store::SignalChange();
  return Status::Ok();
}

Status ResetDevice() {
  store::Transaction txn(store::Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) {
    return Status::Error("cannot record the reset: " + store::LastErrorDetail());
  }
  static const char kReset[] =
      "INSERT OR REPLACE INTO meta(key, value) VALUES('boot_time_ms', ?), ('boot_id', ?)";
  store::Query q(txn.conn(), kReset);
  q.Bind(1, static_cast<int64_t>(HostUptimeMs())).Bind(2, HostBootId());
  if (q.Run() != ERROR_SUCCESS || txn.Commit() != ERROR_SUCCESS) {
    return Status::Error("cannot record the reset: " + store::LastErrorDetail());
  }
  return Status::Ok();
}

uint64_t DeviceUptimeMs() {
  if (auto ms = fault::UptimeOverride()) return *ms;
  uint64_t host = HostUptimeMs();
  DWORD error = ERROR_SUCCESS;
  store::Connection* conn = store::ThreadConnection(&error);
  if (conn == nullptr) return host;
  static const char kBoot[] =
      "SELECT (SELECT value FROM meta WHERE key = 'boot_time_ms'),"
      "       (SELECT value FROM meta WHERE key = 'boot_id')";
  store::Query q(conn, kBoot);
  if (!q.Step() || q.IsNull(0)) return host;
  uint64_t boot = static_cast<uint64_t>(q.Int(0));
  // A reset recorded in an earlier boot of the host is void: the host
  // restarted since, and the device with it.
  if (q.Text(1) != HostBootId() || boot > host) return host;
  return host - boot;
}

}  // namespace platform
