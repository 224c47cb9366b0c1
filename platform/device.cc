#include "platform/device.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/db_notifier.h"
#include "platform/device_state.h"
#include "platform/handle_table.h"
#include "platform/log.h"
#include "platform/record_order.h"
#include "platform/store_db.h"

namespace platform {
namespace {

const char kOsVersion[] = "os-version";
const char kStoreCapacity[] = "store-capacity";
const char kTimezone[] = "timezone";
const char kClockOffset[] = "clock-offset";

struct SettingSpec {
  const char* key;
  const char* default_value;
};
constexpr SettingSpec kSettings[] = {
    {kOsVersion, "3.0"},
    {kStoreCapacity, "0"},
    {kTimezone, ""},
    {kClockOffset, "0"},
};

const SettingSpec* FindSetting(const std::string& key) {
  for (const SettingSpec& s : kSettings) {
    if (key == s.key) return &s;
  }
  return nullptr;
}

// The device setting clock-offset, read again at most this often: another
// process may change it at any time, and the clock is read for every change
// recorded.
constexpr int64_t kClockOffsetRefreshNs = 250'000'000;
// The cached offset in seconds, and when it was read (steady clock, ns; a
// negative time: never).
std::atomic<int64_t> clockOffsetSeconds{0};
std::atomic<int64_t> clockOffsetReadNs{-1};

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The next clock read asks the (new) device's setting again; no device: 0.
void ForgetClockOffset() {
  clockOffsetSeconds.store(0, std::memory_order_relaxed);
  clockOffsetReadNs.store(-1, std::memory_order_release);
}

// Creates `path` and its missing parents, each private to the owner (made
// 0700 exactly: a umask could leave a parent we made unsearchable by us).
// *created tells whether `path` itself was made here.
Status MakeDirectories(const std::string& path, bool* created) {
  *created = false;
  if (path.empty()) return Status::Error("the device root is empty");
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    std::string prefix = path.substr(0, i);
    if (mkdir(prefix.c_str(), 0700) == 0) {
      if (chmod(prefix.c_str(), 0700) != 0) {
        return Status::Error("cannot make " + prefix + " private: " + std::strerror(errno));
      }
      if (i == path.size()) *created = true;
    } else if (errno != EEXIST) {
      return Status::Error("cannot create " + prefix + ": " + std::strerror(errno));
    }
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Status::Error(path + " is not a directory");
  }
  return Status::Ok();
}

std::string OctalMode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// True when the folder has no entry (an unreadable one counts as not empty:
// we cannot tell what it holds).
bool FolderIsEmpty(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  bool empty = true;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(dir);
  return empty;
}

// Checks a folder of the device and gives it exactly mode 0700 where that is
// ours to do. A folder of another user is refused (its owner could read and
// change the device whatever we set). A root made beforehand is the user's,
// not ours: it is never changed, and refused when other users may reach into
// it. A folder the program made (a volume folder, a root just created) is
// closed.
Status MakeFolderPrivate(const std::string& path, bool ours) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Status::Error(path + " is not a directory");
  }
  if (st.st_uid != geteuid()) {
    return Status::Error(path + " belongs to another user (uid " + std::to_string(st.st_uid) +
                         "); a device must be its user's own");
  }
  const mode_t mode = st.st_mode & 07777;
  if (mode == 0700) return Status::Ok();
  if (!ours) {
    if ((mode & 077) == 0) return Status::Ok();  // narrower than ours: the user's choice
    return Status::Error("the device root " + path + " is open to other users (mode " + OctalMode(mode) +
                         "); make it private first: chmod 700 '" + path + "'");
  }
  if (chmod(path.c_str(), 0700) != 0) {
    return Status::Error("cannot make " + path + " private: " + std::strerror(errno));
  }
  if ((mode & 077) != 0) {
    Logf(LogPriority::kWarning, "%s was open to other users (mode %s); it is now 0700", path.c_str(),
         OctalMode(mode).c_str());
  }
  return Status::Ok();
}

// Gives a file of the device exactly mode 0600, creating it empty when
// `create` is set (else a missing file is left missing). Created files get
// 0600 whatever the umask, and files left wider (by an older version, or by
// hand) are closed.
Status MakeFilePrivate(const std::string& path, bool create) {
  // Read-only is enough to create and to change the mode, and it opens a
  // file that the mode leaves unwritable; no block on a FIFO in its place.
  const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0);
  int fd = open(path.c_str(), flags, 0600);
  if (fd < 0) {
    if (!create && errno == ENOENT) return Status::Ok();
    return Status::Error("cannot open " + path + ": " + std::strerror(errno));
  }
  struct stat st;
  Status result;
  if (fstat(fd, &st) != 0) {
    result = Status::Error("cannot inspect " + path + ": " + std::strerror(errno));
  } else if (!S_ISREG(st.st_mode)) {
    result = Status::Error(path + " is not a regular file");
  } else if (st.st_uid != geteuid()) {
    result = Status::Error(path + " belongs to another user (uid " + std::to_string(st.st_uid) + ")");
  } else if ((st.st_mode & 07777) != 0600) {
    if (fchmod(fd, 0600) != 0) {
      result = Status::Error("cannot make " + path + " private: " + std::strerror(errno));
    } else if ((st.st_mode & 077) != 0) {
      Logf(LogPriority::kWarning, "%s was open to other users (mode %s); it is now 0600", path.c_str(),
           OctalMode(st.st_mode).c_str());
    }
  }
  close(fd);
  return result;
}

// Everything the program keeps in the root holds device data and is
// owner-only whatever the umask: folders 0700, files 0600.
// The object store (with the registry and the notifications in it) is
// created here, empty, before SQLite opens it: SQLite would create it 0644
// less the umask, and it creates the journal files (-wal, -shm) with the
// database file's own mode, so a private store.db keeps them private too.
// Journal files left with wider modes are closed here as well. The runtime
// folder looks after itself (window_ipc.cc).
Status MakeDevicePrivate(const std::string& root) {
  for (const char* volume : {"/Storage Card", "/Program Files"}) {
    bool created = false;
    Status s = MakeDirectories(root + volume, &created);
    if (s.ok()) s = MakeFolderPrivate(root + volume, /*ours=*/true);
    if (!s.ok()) return s;
  }
  struct FileRule {
    const char* name;
    bool create;
  };
  for (const FileRule& f : {FileRule{"/store.db", true}, FileRule{"/store.db-wal", false},
                            FileRule{"/store.db-shm", false}, FileRule{"/store.signal", true}}) {
    Status s = MakeFilePrivate(root + f.name, f.create);
    if (!s.ok()) return s;
  }
  return Status::Ok();
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

// Seconds, signed; no more than the 32-bit time's whole range either way.
Status ValidateClockOffset(const std::string& value) {
  const size_t sign = !value.empty() && (value[0] == '-' || value[0] == '+') ? 1 : 0;
  if (AllDigits(value.substr(sign), 10) && std::strtoull(value.c_str() + sign, nullptr, 10) <= 0xFFFFFFFFull) {
    return Status::Ok();
  }
  return Status::Error("clock-offset must be a number of seconds (for example -3600), not \"" + value + "\"");
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

bool HoldsDevice(const std::string& root) {
  struct stat st;
  return !root.empty() && stat((root + "/store.db").c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Status OpenDevice(const std::string& root, DeviceCreation creation) {
  if (DeviceIsOpen()) CloseDevice();
  if (root.empty()) return Status::Error("the device root is empty");
  bool created = false;
  if (!HoldsDevice(root)) {
    if (creation == DeviceCreation::kOpenOnly) return Status::Error("no device at " + root);
    struct stat st;
    if (stat(root.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return Status::Error(root + " is not a directory");
      if (!FolderIsEmpty(root)) {
        return Status::Error(root + " holds other files and no device; a device is made in an empty " +
                             "folder or a new one (hmdevice --root NEW-FOLDER init)");
      }
    }
  }
  Status s = MakeDirectories(root, &created);
  if (s.ok()) s = MakeFolderPrivate(root, /*ours=*/created);
  if (s.ok()) s = MakeDevicePrivate(root);
  if (!s.ok()) return s;
  s = store::OpenStore(root);
  if (!s.ok()) return s;
  store::ForgetRecordOrder();
  ForgetClockOffset();
  SetDeviceRoot(root);
  PruneDeadWatches();
  return Status::Ok();
}

void CloseDevice() {
  ForgetClockOffset();
  StopDbNotifier();
  ClearHandles();
  store::CloseStore();
  store::ForgetRecordOrder();
  SetDeviceRoot("");
}

bool ReadDeviceSetting(const std::string& key, std::string* value) {
  const SettingSpec* spec = FindSetting(key);
  if (spec == nullptr) return false;
  DWORD error = ERROR_SUCCESS;
  store::Connection* conn = store::ThreadConnection(&error);
  if (conn == nullptr) return false;
  static const char kGet[] = "SELECT value FROM settings WHERE key = ?";
  store::Query q(conn, kGet);
  q.Bind(1, key);
  if (q.Step()) {
    *value = q.Text(0);
    return true;
  }
  if (!q.ok() || q.error() != ERROR_SUCCESS) return false;
  *value = spec->default_value;
  return true;
}

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
  } else if (key == kClockOffset) {
    valid = ValidateClockOffset(value);
  } else {
    return Status::Error("unknown device setting \"" + key +
                         "\" (known: os-version, store-capacity, timezone, clock-offset)");
  }
  if (!valid.ok()) return valid;
  std::string stored = value;
  if (key == kStoreCapacity) stored = std::to_string(std::strtoull(value.c_str(), nullptr, 10));
  if (key == kClockOffset) stored = std::to_string(std::strtoll(value.c_str(), nullptr, 10));
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
  if (key == kClockOffset) ForgetClockOffset();
  return Status::Ok();
}

int64_t DeviceClockOffsetSeconds() {
  const int64_t now = SteadyNs();
  const int64_t read = clockOffsetReadNs.load(std::memory_order_acquire);
  if (read >= 0 && now - read < kClockOffsetRefreshNs) {
    return clockOffsetSeconds.load(std::memory_order_relaxed);
  }
  // A setting that cannot be read now (a busy store) keeps the last value:
  // a clock that jumped would lose every tracking class.
  std::string text;
  int64_t offset = clockOffsetSeconds.load(std::memory_order_relaxed);
  if (ReadDeviceSetting(kClockOffset, &text)) offset = std::strtoll(text.c_str(), nullptr, 10);
  clockOffsetSeconds.store(offset, std::memory_order_relaxed);
  clockOffsetReadNs.store(now, std::memory_order_release);
  return offset;
}

}  // namespace platform
