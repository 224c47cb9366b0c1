// Another application writing while the server captures: an import of
// 10,000 records into a database of class 24, all in one run of each of
//  - the import with no server running (nobody watches the database): the
//    writer's own cost, the baseline;
//  - the import while the server runs with the class untracked (the server
//    watches the database, so the store records a notification per write);
//  - the import while the server tracks the class, timed until the import
//    ends and until the server has captured the last record (its journal
//    has nothing left).
// Each iteration runs the three on fresh devices one after the other, so
// the ratios (logged_vs_alone, tracked_vs_alone, untracked_vs_alone) compare
// figures of one moment of a shared machine. The benchmark's own time is
// the tracked import to its last change logged.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "benchmark/benchmark.h"
#include "platform/device.h"
#include "platform/notification_journal.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Until the server's journal has nothing left to capture.
void WaitCaptured() {
  DWORD pending = 1;
  while (CeGetNotificationBacklog(u"Hollowmarch Replication Server", &pending) && pending != 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
}

enum class Server { kNone, kUntracked, kTracked };

struct Timing {
  double import = 0;  // seconds to the import's exit
  double logged = 0;  // seconds to the last change captured (tracked only)
  bool ok = false;
};

Timing ImportOnce(const std::string& lines, Server mode) {
  Timing t;
  hmtest::TempDevice device(false);
  const std::string root = device.root();
  hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "init", "--demo"});
  std::unique_ptr<hmtest::Process> server;
  if (mode != Server::kNone) {
    const int port = hmtest::FreePort();
    hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "reg", "set", "Port", std::to_string(port)});
    server = std::make_unique<hmtest::Process>(
        std::vector<std::string>{HM_HOLLOWMARCH_PATH, "--root", root});
    while (hmtest::Run({HM_HMPEER_PATH, "--port", std::to_string(port), "hello"}).exit_code != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (mode == Server::kTracked) {
      hmtest::Run({HM_HMPEER_PATH, "--port", std::to_string(port), "enable", "24"});
    }
  }
  if (mode == Server::kTracked) platform::OpenDevice(root);

  const auto start = Clock::now();
  hmtest::RunResult r =
      hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "rec", "import", "Demo Contacts"}, lines);
  t.import = Seconds(Clock::now() - start);
  if (mode == Server::kTracked) {
    WaitCaptured();
    t.logged = Seconds(Clock::now() - start);
    platform::CloseDevice();
  }
  t.ok = r.exit_code == 0;
  if (server != nullptr) {
    hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", root, "Shutdown"});
    server->Wait(std::chrono::seconds(10));
  }
  return t;
}

void BM_ImportWhileCapturing(benchmark::State& state) {
  const int records = static_cast<int>(state.range(0));
  std::string lines;
  for (int i = 0; i < records; ++i) lines += "{\"props\":[{\"id\":65567,\"value\":\"record\"}]}\n";
  double alone = 0, untracked = 0, tracked = 0, logged = 0;
  for (auto _ : state) {
    const Timing a = ImportOnce(lines, Server::kNone);
    const Timing u = ImportOnce(lines, Server::kUntracked);
    const Timing t = ImportOnce(lines, Server::kTracked);
    if (!a.ok || !u.ok || !t.ok) {
      state.SkipWithError("an import failed");
      break;
    }
    state.SetIterationTime(t.logged);
    alone += a.import;
    untracked += u.import;
    tracked += t.import;
    logged += t.logged;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["alone_ms"] = alone / n * 1e3;
  state.counters["untracked_ms"] = untracked / n * 1e3;
  state.counters["tracked_ms"] = tracked / n * 1e3;
  state.counters["logged_ms"] = logged / n * 1e3;
  state.counters["untracked_vs_alone"] = untracked / alone;
  state.counters["tracked_vs_alone"] = tracked / alone;
  state.counters["logged_vs_alone"] = logged / alone;
  state.SetItemsProcessed(state.iterations() * records);
}
BENCHMARK(BM_ImportWhileCapturing)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
