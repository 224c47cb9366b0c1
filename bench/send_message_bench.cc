// Round trip of SendMessageW to a window of another process: the time from
// the call to its result, the target's procedure doing nothing but add its
// arguments. Reports the median and the 99th percentile of single calls.
//
// The target is this same program started again with --serve-window.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "platform/device.h"
#include "platform/window.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

constexpr UINT kEcho = WM_APP + 1;
constexpr char16_t kClass[] = u"Bench Target";

LRESULT TargetProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case kEcho:
      return static_cast<LRESULT>(wparam) + lparam;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

int ServeWindow(const char* root) {
  if (!platform::OpenDevice(root).ok()) return 1;
  WNDCLASSW wc{};
  wc.lpfnWndProc = &TargetProc;
  wc.lpszClassName = kClass;
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(0, kClass, kClass, 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
  if (hwnd == 0) return 1;
  std::string ready = "ready\n";
  if (::write(STDOUT_FILENO, ready.data(), ready.size()) < 0) return 1;
  MSG msg;
  while (GetMessageW(&msg, 0, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}

std::string SelfPath() {
  std::string path(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
  path.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return path;
}

void BM_SendMessageRoundTrip(benchmark::State& state) {
  hmtest::TempDevice device;
  hmtest::Process target({SelfPath(), "--serve-window", device.root()});
  if (!target.WaitForOut("ready", std::chrono::seconds(10))) {
    state.SkipWithError("the target window did not start");
    return;
  }
  HWND hwnd = FindWindowW(kClass, nullptr);
  if (hwnd == 0 || SendMessageW(hwnd, kEcho, 1, 2) != 3) {
    state.SkipWithError("the target window does not answer");
    return;
  }
  std::vector<double> micros;
  micros.reserve(1 << 20);
  WPARAM i = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    LRESULT result = SendMessageW(hwnd, kEcho, ++i, 1);
    auto end = std::chrono::steady_clock::now();
    if (result != static_cast<LRESULT>(i + 1)) {
      state.SkipWithError("wrong result");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
  target.Wait(std::chrono::seconds(10));
}
BENCHMARK(BM_SendMessageRoundTrip)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--serve-window") return ServeWindow(argv[2]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
