#include "platform/device_state.h"

#include <time.h>

#include <fstream>

#include "platform/fault.h"
#include "platform/store_db.h"

namespace platform {
namespace {

std::string open_root;  // "" when no device is open

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

}  // namespace

bool DeviceIsOpen() { return !open_root.empty(); }

const std::string& DeviceRoot() { return open_root; }

void SetDeviceRoot(const std::string& root) { open_root = root; }

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
