// The one mutex of the system and its locks, which clang's -Wthread-safety
// understands, and the annotation macros (GUARDED_BY and friends) for shared
// state.
//
// Every lock in platform/ and above is a platform::Mutex, so that what it
// guards can say GUARDED_BY and the functions that need it REQUIRES (checked
// by the clang build, warnings being errors). A function never decides
// whether to lock by asking whether it holds the lock already: a caller that
// holds it calls the variant declared REQUIRES, one that does not calls the
// variant declared EXCLUDES.
#ifndef HOLLOWMARCH_PLATFORM_MUTEX_H_
#define HOLLOWMARCH_PLATFORM_MUTEX_H_

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#if defined(__clang__)
#define HM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HM_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) HM_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY HM_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) HM_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) HM_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) HM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) HM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) HM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) HM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) HM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) HM_THREAD_ANNOTATION(assert_capability(x))

namespace platform {

class CondVar;

// A mutex that may also be waited for with a bound, and that knows which
// thread holds it (for assertions only). Not recursive. A plain std::mutex
// underneath, so CondVar waits on it directly.
class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() {
    mu_.lock();
    SetOwner();
  }
  // True, holding the mutex, when it could be had within `ms` milliseconds.
  bool TryLockFor(unsigned ms) TRY_ACQUIRE(true) {
    // The bound is a point on the wall clock, as pthread_mutex_timedlock
    // takes it; a jump of that clock during the wait lengthens or shortens
    // this one wait.
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_mutex_timedlock(mu_.native_handle(), &deadline) != 0) return false;
    SetOwner();
    return true;
  }
  void Unlock() RELEASE() {
    ClearOwner();
    mu_.unlock();
  }

  // True when the calling thread holds the mutex. For assertions and tests
  // only; never to choose whether to lock. Any thread may ask; only the
  // holder itself can see its own id here.
  bool HeldByCurrentThread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }
  // Tells the analysis that the caller holds the mutex, where it cannot see
  // so itself (a callback run by a function that was called under it);
  // checked in debug builds.
  void AssertHeld() const ASSERT_CAPABILITY(this) { assert(HeldByCurrentThread()); }

 private:
  friend class CondVar;
  void SetOwner() { owner_.store(std::this_thread::get_id(), std::memory_order_relaxed); }
  void ClearOwner() { owner_.store(std::thread::id(), std::memory_order_relaxed); }

  std::mutex mu_;
  std::atomic<std::thread::id> owner_{};
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* mu_;
};

// A condition variable for Mutex. The waits take the held mutex and hold
// it again when they return; they may return without a notification, so
// callers re-check their condition.
class CondVar {
 public:
  void Wait(Mutex* mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    mu->ClearOwner();
    cv_.wait(lock);
    mu->SetOwner();
    lock.release();
  }
  // False when the time ran out.
  template <class Duration>
  bool WaitFor(Mutex* mu, Duration timeout) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    mu->ClearOwner();
    bool notified = cv_.wait_for(lock, timeout) == std::cv_status::no_timeout;
    mu->SetOwner();
    lock.release();
    return notified;
  }
  // Until `deadline`; false when it passed.
  template <class Clock, class Duration>
  bool WaitUntil(Mutex* mu, std::chrono::time_point<Clock, Duration> deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    mu->ClearOwner();
    bool notified = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    mu->SetOwner();
    lock.release();
    return notified;
  }
  void NotifyAll() { cv_.notify_all(); }
  void NotifyOne() { cv_.notify_one(); }

 private:
  std::condition_variable cv_;
};

// Releases a held mutex for a scope (for a blocking call that must not run
// under it) and takes it again at the end.
class SCOPED_CAPABILITY MutexUnlock {
 public:
  explicit MutexUnlock(Mutex* mu) RELEASE(mu) : mu_(mu) { mu_->Unlock(); }
  ~MutexUnlock() RELEASE() { mu_->Lock(); }
  MutexUnlock(const MutexUnlock&) = delete;
  MutexUnlock& operator=(const MutexUnlock&) = delete;

 private:
  Mutex* mu_;
};

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_MUTEX_H_
