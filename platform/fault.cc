#include "platform/fault.h"
#include "platform/mutex.h"

#include <array>
#include <utility>

namespace platform::fault {
namespace {

struct Armed {
  DWORD error = 0;
  int count = 0;  // -1: forever
  int skip = 0;
};

struct State {
  Mutex mu;
  std::array<Armed, static_cast<size_t>(Call::kCount)> armed GUARDED_BY(mu){};
  std::optional<uint64_t> uptime_ms GUARDED_BY(mu);
  std::optional<uint64_t> clock GUARDED_BY(mu);
  std::optional<uint64_t> free_bytes GUARDED_BY(mu);
  std::optional<int> send_limit GUARDED_BY(mu);
  bool record_sleeps GUARDED_BY(mu) = false;
  std::vector<DWORD> sleeps GUARDED_BY(mu);
};

State& TheState() {
  static State* state = new State;
  return *state;
}

}  // namespace

void FailNext(Call call, DWORD error, int count, int skip) {
  State& s = TheState();
  MutexLock lock(&s.mu);
  s.armed[static_cast<size_t>(call)] = Armed{error, count, skip};
}

void Clear() {
  State& s = TheState();
  MutexLock lock(&s.mu);
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
  MutexLock lock(&s.mu);
  s.uptime_ms = ms;
}

void SetClock(std::optional<uint64_t> unix_seconds) {
  State& s = TheState();
  MutexLock lock(&s.mu);
  s.clock = unix_seconds;
}

void SetStoreFreeBytes(std::optional<uint64_t> bytes) {
  State& s = TheState();
  MutexLock lock(&s.mu);
  s.free_bytes = bytes;
}

void SetSendLimit(std::optional<int> bytes) {
  State& s = TheState();
  MutexLock lock(&s.mu);
  s.send_limit = bytes;
}

void SetRecordSleeps(bool record) {
  State& s = TheState();
  MutexLock lock(&s.mu);
  s.record_sleeps = record;
}

std::vector<DWORD> TakeSleeps() {
  State& s = TheState();
  MutexLock lock(&s.mu);
  return std::exchange(s.sleeps, {});
}

bool RecordSleep(DWORD ms) {
  State& s = TheState();
  MutexLock lock(&s.mu);
  if (!s.record_sleeps) return false;
  s.sleeps.push_back(ms);
  return true;
}

bool ShouldFail(Call call, DWORD* error) {
  State& s = TheState();
  MutexLock lock(&s.mu);
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
  MutexLock lock(&s.mu);
  return s.uptime_ms;
}

std::optional<uint64_t> ClockOverride() {
  State& s = TheState();
  MutexLock lock(&s.mu);
  return s.clock;
}

std::optional<uint64_t> StoreFreeBytesOverride() {
  State& s = TheState();
  MutexLock lock(&s.mu);
  return s.free_bytes;
}

std::optional<int> SendLimitOverride() {
  State& s = TheState();
  MutexLock lock(&s.mu);
  return s.send_limit;
}

}  // namespace platform::fault
