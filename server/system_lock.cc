#include "server/system_lock.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/kernel.h"
#include "platform/object_store.h"

SystemMutex systemLock;

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
  void Take() {
    std::unique_lock<std::mutex> lock(mu_);
    const uint64_t ticket = next_++;
    cv_.wait(lock, [&] { return serving_ == ticket; });
  }
  void Pass() {
    std::lock_guard<std::mutex> lock(mu_);
    ++serving_;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t next_ = 0;
  uint64_t serving_ = 0;
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

bool LockWithStore(void (*whileStoreBusy)()) NO_THREAD_SAFETY_ANALYSIS {
  for (int round = 0;; ++round) {
    if (!BeginInTurn(round == 0 ? whileStoreBusy : nullptr)) {
      systemLock.Lock();
      return false;
    }
    if (systemLock.TryLockFor(kStoreHeldLockWaitMs)) return true;
    CeEndTransaction(FALSE);
    systemLock.Lock();
    {
      ScopedStoreWait wait(kStoreWaitUnderSystemLockMs);
      if (CeBeginTransaction()) return true;
    }
    if (round + 1 == kStoreRounds) return false;
    systemLock.Unlock();
  }
}
