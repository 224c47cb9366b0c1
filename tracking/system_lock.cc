#include "tracking/system_lock.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "platform/kernel.h"
#include "platform/object_store.h"

namespace {

// Rounds of giving the store back before LockWithStore says it is busy; each
// round after the first starts with a full wait for the store.
constexpr int kStoreRounds = 3;

// Turns, first come first served, at waiting for the store: without them the
// window thread, capturing one group after another, would take the store
// again each time before the worker's next look at it, and a peer's command
// could wait for ever.
class StoreTurns {
 public:
  void Take() EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    const uint64_t ticket = next_++;
    while (serving_ != ticket) cv_.Wait(&mu_);
  }
  void Pass() EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    ++serving_;
    cv_.NotifyAll();
  }

 private:
  platform::Mutex mu_;
  platform::CondVar cv_;
  uint64_t next_ GUARDED_BY(mu_) = 0;
  uint64_t serving_ GUARDED_BY(mu_) = 0;
};

StoreTurns storeTurns;

// The thread's store transaction, waited for in its turn: as long as the
// thread's store wait, in slices of kStoreBusySliceMs with whileStoreBusy
// between them when it is given.
bool BeginInTurn(void (*whileStoreBusy)()) {
  storeTurns.Take();
  bool begun;
  if (whileStoreBusy == nullptr) {
    begun = CeBeginTransaction() != FALSE;
  } else {
    const DWORD wait = CeSetStoreWait(kStoreBusySliceMs);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait);
    for (;;) {
      begun = CeBeginTransaction() != FALSE;
      if (begun || GetLastError() != ERROR_TIMEOUT) break;
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) break;
      whileStoreBusy();
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
      CeSetStoreWait(static_cast<DWORD>(std::clamp<int64_t>(ms, 1, kStoreBusySliceMs)));
    }
    CeSetStoreWait(wait);
  }
  storeTurns.Pass();
  return begun;
}

}  // namespace

// Each round ends holding the lock or with none held; the last one always
// holds it.
bool LockWithStore(void (*whileStoreBusy)()) {
  for (int round = 0;; ++round) {
    if (!BeginInTurn(round == 0 ? whileStoreBusy : nullptr)) {
      TrackingState::systemLock.Lock();
      return false;
    }
    if (TrackingState::systemLock.TryLockFor(kStoreHeldLockWaitMs)) return true;
    CeEndTransaction(FALSE);
    TrackingState::systemLock.Lock();
    bool begun;
    {
      ScopedStoreWait wait(kStoreWaitUnderSystemLockMs);
      begun = CeBeginTransaction() != FALSE;
    }
    if (begun || round + 1 == kStoreRounds) return begun;
    TrackingState::systemLock.Unlock();
  }
}
