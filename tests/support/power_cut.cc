#include "tests/support/power_cut.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "tests/support/power_cut_undo.h"
#include "tests/support/temp_device.h"

namespace hmtest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The processes whose environment holds `entry`.
std::set<pid_t> ProcessesWith(const std::string& entry) {
  std::set<pid_t> pids;
  std::error_code ec;
  for (const fs::directory_entry& d : fs::directory_iterator("/proc", ec)) {
    const std::string name = d.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(name));
    if (pid == getpid()) continue;
    std::ifstream in(d.path() / "environ", std::ios::binary);
    const std::string env((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t at = 0; at < env.size();) {
      const size_t end = env.find('\0', at);
      const size_t len = (end == std::string::npos ? env.size() : end) - at;
      if (env.compare(at, len, entry) == 0) {
        pids.insert(pid);
        break;
      }
      if (end == std::string::npos) break;
      at = end + 1;
    }
  }
  return pids;
}

// Dead: gone, or a zombie waiting for its parent (whose files are closed).
bool Dead(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return true;
  const size_t close = line.rfind(')');
  return close == std::string::npos || line.compare(close + 1, 3, " Z ") == 0 ||
         line.compare(close + 1, 3, " X ") == 0;
}

std::string MakeUndoDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/hmundo-XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

}  // namespace

std::vector<std::string> DurabilityPointOffEnv() {
  return {std::string("LD_PRELOAD=") + HM_POWER_CUT_LIB, std::string(power_cut::kSkipPointVar) + "=1"};
}

PowerCut::PowerCut(std::string root, bool skip_durability_point)
    : root_(std::move(root)), undo_dir_(MakeUndoDir()) {
  env_ = {std::string("LD_PRELOAD=") + HM_POWER_CUT_LIB,
          std::string(power_cut::kRootVar) + "=" + root_,
          std::string(power_cut::kUndoVar) + "=" + undo_dir_,
          skip_durability_point ? std::string(power_cut::kSkipPointVar) + "=1"
                                : std::string(power_cut::kSkipPointVar)};
}

PowerCut::~PowerCut() {
  std::error_code ec;
  if (!undo_dir_.empty()) fs::remove_all(undo_dir_, ec);
}

bool PowerCut::Cut(std::string* why) {
  const std::string entry = std::string(power_cut::kUndoVar) + "=" + undo_dir_;
  // Stop every process first, so that none writes or syncs after another
  // died; new ones may have been started meanwhile by those not yet stopped.
  std::set<pid_t> stopped;
  for (int pass = 0; pass < 100; ++pass) {
    std::set<pid_t> found = ProcessesWith(entry);
    bool fresh = false;
    for (pid_t pid : found) {
      if (stopped.insert(pid).second) {
        kill(pid, SIGSTOP);
        fresh = true;
      }
    }
    if (!fresh) break;
  }
  for (pid_t pid : stopped) kill(pid, SIGKILL);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (pid_t pid : stopped) {
    while (!Dead(pid)) {
      if (std::chrono::steady_clock::now() > deadline) {
        *why = "process " + std::to_string(pid) + " did not die";
        return false;
      }
      std::this_thread::sleep_for(1ms);
    }
  }
  std::error_code ec;
  for (const fs::directory_entry& d : fs::directory_iterator(undo_dir_, ec)) {
    const std::string name = d.path().filename();
    const std::string suffix = ".undo";
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    const std::string data = root_ + "/" + name.substr(0, name.size() - suffix.size());
    if (!power_cut::Restore(d.path(), data, why)) return false;
  }
  fs::remove(root_ + "/store.db-shm", ec);
  for (const fs::directory_entry& d : fs::directory_iterator(root_ + "/run", ec)) {
    fs::remove_all(d.path(), ec);
  }
  return true;
}

}  // namespace hmtest
