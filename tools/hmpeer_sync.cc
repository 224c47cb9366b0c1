#include "tools/hmpeer_sync.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>

#include "peer/mirror.h"
#include "peer/sync_engine.h"
#include "tools/progress_bar.h"

namespace hmpeer {
namespace {

using nlohmann::json;

// The engine's options from the command line, or a usage error.
int MakeOptions(Session& s, const SyncArgs& args, peer::SyncOptions* so) {
  if (args.to.empty()) return s.Fail(kExitUsage, "--to is empty; name the mirror's folder");
  so->dir = args.to;
  for (const std::string& k : args.classes) {
    uint32_t v = 0;
    if (!ParseU32(k, &v) || peer::ClassIndexOf(v) < 0) return s.Fail(kExitUsage, "--class: " + k);
    so->classes.push_back(v);
  }
  for (const std::string& d : args.dbs) {
    const size_t eq = d.find('=');
    uint32_t v = 0, oid = 0;
    std::u16string name;
    if (eq == std::string::npos || !ParseU32(d.substr(0, eq), &v) || peer::ClassIndexOf(v) < 0 ||
        !peer::ParseDatabaseRef(d.substr(eq + 1), &oid, &name)) {
      return s.Fail(kExitUsage, "--db " + d + ": CLASS=NAME or CLASS=@OID, CLASS 24, 25, 26, 291 or 5454");
    }
    std::vector<std::string>& named = so->databases[v];
    if (std::find(named.begin(), named.end(), d.substr(eq + 1)) == named.end()) named.push_back(d.substr(eq + 1));
  }
  // Before the device is asked anything: a folder that cannot hold the
  // mirror fails the command once, not each class.
  peer::Mirror mirror;
  std::string why;
  if (!mirror.Open(so->dir, &why)) return s.Fail(kExitUsage, "cannot open the mirror: " + why);
  return kExitOk;
}

// SIGINT and SIGTERM while one lives: the first of them sets the flag, wakes
// Wait and restores the default actions, so that another ends the program
// at once. One at a time.
class StopSignals {
 public:
  StopSignals() {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) pipe_[0] = pipe_[1] = -1;
    wake_fd = pipe_[1];
    stopped = 0;
    struct sigaction action {};
    action.sa_handler = Handle;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &old_int_);
    ::sigaction(SIGTERM, &action, &old_term_);
  }
  ~StopSignals() {
    ::sigaction(SIGINT, &old_int_, nullptr);
    ::sigaction(SIGTERM, &old_term_, nullptr);
    wake_fd = -1;
    for (int fd : pipe_) {
      if (fd >= 0) ::close(fd);
    }
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool stop() const { return stopped != 0; }
  // Waits `seconds` or until a signal came; true when one did.
  bool Wait(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!stop()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{pipe_[0], POLLIN, 0};
      ::poll(&p, pipe_[0] >= 0 ? 1 : 0, static_cast<int>(std::min<int64_t>(left.count() + 1, 1000)));
    }
    return stop();
  }

 private:
  static void Handle(int) {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    ::sigaction(SIGINT, &default_action, nullptr);
    ::sigaction(SIGTERM, &default_action, nullptr);
    stopped = 1;
    if (wake_fd >= 0) {
      const char byte = 1;
      [[maybe_unused]] ssize_t n = ::write(wake_fd, &byte, 1);
    }
  }

  static inline volatile sig_atomic_t stopped = 0;
  static inline volatile int wake_fd = -1;
  int pipe_[2] = {-1, -1};
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

constexpr double kFirstRetrySeconds = 0.5;
constexpr double kLastRetrySeconds = 30;

// One sync of every class asked for, with a progress bar on a terminal:
// one line, each class's bar drawn over the last one's and blanked at the
// end, so that only the results stay.
std::vector<peer::ClassSyncResult> SyncOnce(Session& s, peer::SyncOptions so) {
  std::optional<ProgressBar> bar;
  if (isatty(2)) {
    so.progress = [&](const std::string& label) {
      if (bar) bar->Clear();
      bar.emplace(stderr, label);
    };
    so.onRecords = [&](size_t done, size_t total) { bar->Update(done, total); };
  }
  std::vector<peer::ClassSyncResult> results = peer::Sync(s.client(), so);
  if (bar) bar->Clear();
  return results;
}

// Prints the results (of round `round` when not 0); the exit status they
// make. *lines (when given) is set to the number of lines printed.
int Report(Session& s, const std::vector<peer::ClassSyncResult>& results, int round, int* lines = nullptr) {
  json array = json::array();
  std::string text = round > 0 ? "round " + std::to_string(round) + "\n" : "";
  bool failed = false, lost = false;
  for (const auto& r : results) {
    array.push_back({{"class", r.dataClass}, {"kind", r.fast ? "fast" : "slow"}, {"moved", r.moved},
                     {"mirrored", r.mirrored}, {"anchor", r.anchor}, {"error", r.error}});
    text += "class " + std::to_string(r.dataClass) + ": " + (r.fast ? "fast" : "slow") + " sync, " +
            std::to_string(r.moved) + " record(s) moved, " + std::to_string(r.mirrored) + " mirrored" +
            (r.error.empty() ? "" : ", FAILED: " + r.error) + "\n";
    failed = failed || !r.error.empty();
    lost = lost || r.connectionLost;
  }
  s.Print(round > 0 ? json{{"round", round}, {"classes", array}} : array, text);
  if (lines != nullptr) *lines = static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  return lost ? kExitConnection : failed ? kExitRefused : kExitOk;
}

int Watch(Session& s, const peer::SyncOptions& so, double interval) {
  StopSignals signals;
  int status = kExitOk;
  double retry = kFirstRetrySeconds;
  // On a terminal each round's report is drawn over the last one's (the
  // cursor goes up that many lines); anything else printed in between (a
  // lost device) starts afresh below it.
  const bool redraw = !s.options().json && isatty(1) && isatty(2);
  int shown = 0;
  for (int round = 1; !signals.stop();) {
    // A device that went away while we waited closed the connection.
    if (s.open() && s.client().ClosedByDevice(peer::PeerClient::Millis(0))) s.client().Close();
    if (!s.open()) {
      status = s.Open();
      if (status != kExitOk) {
        char text[64];
        std::snprintf(text, sizeof text, "trying again in %g s", retry);
        s.Fail(status, text);
        shown = 0;
        if (signals.Wait(retry)) break;
        retry = std::min(retry * 2, kLastRetrySeconds);
        continue;
      }
      retry = kFirstRetrySeconds;
    }
    std::vector<peer::ClassSyncResult> results = SyncOnce(s, so);
    if (redraw && shown > 0) s.out() << "\033[" << shown << "A\033[J";
    status = Report(s, results, round++, &shown);
    if (status == kExitConnection) continue;  // connect again at once
    signals.Wait(interval);
  }
  return s.Finish(status);
}

}  // namespace

int SyncCommand(Session& s, const SyncArgs& args) {
  peer::SyncOptions so;
  if (int rc = MakeOptions(s, args, &so)) return rc;
  if (int rc = s.Open()) return rc;
  if (args.watch) return Watch(s, so, *args.watch);
  return s.Finish(Report(s, SyncOnce(s, so), 0));
}

}  // namespace hmpeer
