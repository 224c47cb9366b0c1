#include "platform/fault.h"

#include <array>
#include <mutex>
#include <utility>

namespace platform::fault {
namespace {

struct Armed {
  DWORD error = 0;
  int count = 0;  // -1: forever
  int skip = 0;
};

struct State {
  std::mutex mu;
  std::array<Armed, static_cast<size_t>(Call::kCount)> armed{};
  std::optional<uint64_t> uptime_ms;
  std::optional<uint64_t> clock;
  std::optional<uint64_t> free_bytes;
  std::optional<int> send_limit;
  bool record_sleeps = false;
  std::vector<DWORD> sleeps;
};

State& TheState() {
  static State* state = new State;
  return *state;
}

}  // namespace

void FailNext(Call call, DWORD error, int count, int skip) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  s.armed[static_cast<size_t>(call)] = Armed{error, count, skip};
}

void Clear() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  s.armed.fill(Armed{});
  s.uptime_ms.reset();
  s.clock.reset();
  s.free_bytes.reset();
  s.send_limit.reset();
  s.record_sleeps = false;
  s.sleeps.clear();
}

void SetUptimeMs(std::optional<uint64_t> ms) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  s.uptime_ms = ms;
}

void SetClock(std::optional<uint64_t> unix_seconds) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  s.clock = unix_seconds;
}

void SetStoreFreeBytes(std::optional<uint64_t> bytes) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  s.free_bytes = bytes;
}

void SetSendLimit(std::optional<int> bytes) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  s.send_limit = bytes;
}

void SetRecordSleeps(bool record) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  s.record_sleeps = record;
}

std::vector<DWORD> TakeSleeps() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  return std::exchange(s.sleeps, {});
}

bool RecordSleep(DWORD ms) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  if (!s.record_sleeps) return false;
  s.sleeps.push_back(ms);
  return true;
}

bool ShouldFail(Call call, DWORD* error) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  Armed& a = s.armed[static_cast<size_t>(call)];
  if (a.count == 0) return false;
  if (a.skip > 0) {
    --a.skip;
    return false;
  }
  if (a.count > 0) --a.count;
  if (error != nullptr) *error = a.error;
  return true;
}

std::optional<uint64_t> UptimeOverride() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.uptime_ms;
}

std::optional<uint64_t> ClockOverride() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.clock;
}

std::optional<uint64_t> StoreFreeBytesOverride() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.free_bytes;
}

std::optional<int> SendLimitOverride() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.send_limit;
}

}  // namespace platform::fault
