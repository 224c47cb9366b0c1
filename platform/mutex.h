// A mutex and lock that clang's -Wthread-safety understands, and the
// annotation macros (GUARDED_BY and friends) for shared state.
#ifndef HOLLOWMARCH_PLATFORM_MUTEX_H_
#define HOLLOWMARCH_PLATFORM_MUTEX_H_

#include <condition_variable>
#include <mutex>

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
#define NO_THREAD_SAFETY_ANALYSIS HM_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace platform {

class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  std::mutex& native() { return mu_; }

 private:
  std::mutex mu_;
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
    std::unique_lock<std::mutex> lock(mu->native(), std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when the time ran out.
  template <class Duration>
  bool WaitFor(Mutex* mu, Duration timeout) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->native(), std::adopt_lock);
    bool notified = cv_.wait_for(lock, timeout) == std::cv_status::no_timeout;
    lock.release();
    return notified;
  }
  void NotifyAll() { cv_.notify_all(); }

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
