// The program's start and shutdown, as real processes on a temporary device:
// from start to listening (a peer can connect), and from `hollowmarch
// Shutdown` to its exit while an instance runs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "benchmark/benchmark.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

using Clock = std::chrono::steady_clock;

bool Listening(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

struct Device {
  Device() : dir(false), port(hmtest::FreePort()) {
    hmtest::Run({HM_HMDEVICE_PATH, "--root", dir.root(), "init", "--demo"});
    hmtest::Run({HM_HMDEVICE_PATH, "--root", dir.root(), "reg", "set", "Port", std::to_string(port)});
  }
  std::unique_ptr<hmtest::Process> Start() {
    auto p = std::make_unique<hmtest::Process>(std::vector<std::string>{HM_HOLLOWMARCH_PATH, "--root", dir.root()});
    while (!Listening(port) && p->Running()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    return p;
  }
  hmtest::TempDevice dir;
  int port;
};

void BM_StartToListening(benchmark::State& state) {
  Device device;
  for (auto _ : state) {
    auto start = Clock::now();
    auto server = device.Start();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", device.dir.root(), "Shutdown"});
    server->Wait(std::chrono::seconds(10));
  }
}
BENCHMARK(BM_StartToListening)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// A start that first captures what a killed instance had not: class 24
// tracking, 10,000 records written while the server was stopped (SIGSTOP,
// so it was told of none), the server killed and the device reset, so that
// the next start keeps the log and must capture all 10,000 before it
// listens. Compare with BM_StartToListening of the same run.
void BM_StartCapturingUnhandledNotifications(benchmark::State& state) {
  const int records = static_cast<int>(state.range(0));
  std::string lines;
  for (int i = 0; i < records; ++i) lines += "{\"props\":[{\"id\":65567,\"value\":\"r\"}]}\n";
  for (auto _ : state) {
    state.PauseTiming();
    Device device;
    const std::string root = device.dir.root();
    hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "reset"});
    auto first = device.Start();
    hmtest::Run({HM_HMPEER_PATH, "--port", std::to_string(device.port), "enable", "24"});
    first->Signal(SIGSTOP);
    hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "rec", "import", "Demo Contacts"}, lines);
    first->Signal(SIGKILL);
    first->Wait(std::chrono::seconds(10));
    hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "reset"});
    state.ResumeTiming();

    auto start = Clock::now();
    auto server = device.Start();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());

    state.PauseTiming();
    hmtest::RunResult status = hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "status"});
    if (status.out.find(std::to_string(records) + " logged change(s)") == std::string::npos) {
      state.SkipWithError(("the log does not hold every change: " + status.out).c_str());
    }
    hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", root, "Shutdown"});
    server->Wait(std::chrono::seconds(10));
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * records);
}
BENCHMARK(BM_StartCapturingUnhandledNotifications)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

void BM_ShutdownWhileRunning(benchmark::State& state) {
  Device device;
  for (auto _ : state) {
    auto server = device.Start();
    auto start = Clock::now();
    hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", device.dir.root(), "Shutdown"});
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    server->Wait(std::chrono::seconds(10));
  }
}
BENCHMARK(BM_ShutdownWhileRunning)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
