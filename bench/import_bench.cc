// Another application writing while the server captures: an import of
// 10,000 records into a database of class 24 with the class tracked, timed
// from the import's start until the server has captured the last record,
// against the same import alone (the server runs, the class is not
// tracked, and the time ends with the import).
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

// Until the server's journal has nothing left to capture.
void WaitCaptured() {
  DWORD pending = 1;
  while (CeGetNotificationBacklog(u"Hollowmarch Replication Server", &pending) && pending != 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
}

void Import(benchmark::State& state, bool tracked) {
  const int records = static_cast<int>(state.range(0));
  std::string lines;
  for (int i = 0; i < records; ++i) lines += "{\"props\":[{\"id\":65567,\"value\":\"record\"}]}\n";
  for (auto _ : state) {
    state.PauseTiming();
    hmtest::TempDevice device(false);
    const std::string root = device.root();
    const int port = hmtest::FreePort();
    hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "init", "--demo"});
    hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "reg", "set", "Port", std::to_string(port)});
    hmtest::Process server({HM_HOLLOWMARCH_PATH, "--root", root});
    while (hmtest::Run({HM_HMPEER_PATH, "--port", std::to_string(port), "hello"}).exit_code != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (tracked) hmtest::Run({HM_HMPEER_PATH, "--port", std::to_string(port), "enable", "24"});
    platform::OpenDevice(root);
    state.ResumeTiming();

    hmtest::RunResult r = hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "rec", "import", "Demo Contacts"}, lines);
    if (tracked) WaitCaptured();

    state.PauseTiming();
    platform::CloseDevice();
    if (r.exit_code != 0) state.SkipWithError("the import failed");
    hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", root, "Shutdown"});
    server.Wait(std::chrono::seconds(10));
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * records);
}

void BM_ImportAlone(benchmark::State& state) { Import(state, false); }
void BM_ImportTracked(benchmark::State& state) { Import(state, true); }
BENCHMARK(BM_ImportAlone)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ImportTracked)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
