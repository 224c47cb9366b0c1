// The one process-wide lock of the system.
//
// Two threads share the tracking state: the window thread (every window
// message: capture, the daily purge, the local change-list requests, start
// and stop of the server) and the sync server's worker (every message of the
// peer). What they share is the tracked-database table with its change logs
// and their in-memory lists, the mail folder list and the message uid map,
// the sync-state store and its cache, and the last-logged change.
//
// The design:
//  - One lock, systemLock, serialises every access to that state. The window
//    thread holds it around each window message it handles; the worker holds
//    it around each HandleMessage. Nothing else takes it, and the tracking
//    code itself never locks: it is always entered with the lock held.
//  - No socket call is made while the lock is held, so a peer that stops
//    reading can never freeze capture on the window thread. The worker
//    receives and sends with the lock released; a handler that must send
//    before it has finished (the acknowledgement that precedes a change
//    stream) releases the lock around that one send (SystemLockRelease) and
//    looks at the shared state afresh afterwards.
//  - The capture flags (CaptureFlags in tracking/tracking_context.h) are
//    atomic words; they may be read and written with or without the lock.
//  - The window thread stops the server while holding the lock. Stop then
//    releases it while it waits for the worker (HeldByCurrentThread tells it
//    so), so a worker waiting for the lock can take it, see the stop and end;
//    the lock is taken again before Stop returns.
#ifndef HOLLOWMARCH_SERVER_SYSTEM_LOCK_H_
#define HOLLOWMARCH_SERVER_SYSTEM_LOCK_H_

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/mutex.h"
#include "platform/types.h"

// A mutex that knows which thread holds it. Not recursive.
class CAPABILITY("mutex") SystemMutex {
 public:
  void Lock() ACQUIRE() {
    mu_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }
  // True, holding the lock, when it could be had within `ms`.
  bool TryLockFor(DWORD ms) TRY_ACQUIRE(true) {
    if (!mu_.try_lock_for(std::chrono::milliseconds(ms))) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
  }
  void Unlock() RELEASE() {
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mu_.unlock();
  }
  // True when the calling thread holds the lock. Any thread may ask; only
  // the holder itself can see its own id here.
  bool HeldByCurrentThread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  std::timed_mutex mu_;
  std::atomic<std::thread::id> owner_{};
};

// How long a store call made with systemLock held may wait for the store's
// write lock. The store's write lock is taken before systemLock by the work
// that must wait for it (capture, the peer's commands that write); anything
// else that finds the store busy while holding systemLock fails after this
// wait rather than stall the other thread, which may be holding the store
// while it waits for systemLock.
constexpr DWORD kStoreWaitUnderSystemLockMs = 1000;

// The process-wide lock (see above). Lives for the whole process.
extern SystemMutex systemLock;

// How long a thread that holds the store's write lock waits for systemLock
// before it gives the store up again (see LockWithStore).
constexpr DWORD kStoreHeldLockWaitMs = 50;

// Takes systemLock together with a store write transaction of the calling
// thread (CeBeginTransaction), for work that writes the store and must wait
// for it rather than fail: capture, the peer's commands. The two locks are
// never waited for one while holding the other for long: the store is waited
// for with no lock held (as long as the store's own wait allows); holding
// it, systemLock is waited for at most kStoreHeldLockWaitMs, after which the
// store is given back (the thread holding systemLock may be waiting for it),
// systemLock taken, and the store tried again for at most
// kStoreWaitUnderSystemLockMs. Returns with systemLock held in every case:
// true when the transaction is open (the caller ends it before it releases
// systemLock), false when the store could not be had, and the work must
// then fail as a busy store makes it. Not with systemLock or a store
// transaction already held.
//
// `whileStoreBusy`, when given, is called with neither lock held (but in
// the thread's turn at the store) each time the store has stayed busy for
// kStoreBusySliceMs of the first wait, so that the thread can answer what
// needs no store write (the window thread's read-only local requests)
// instead of leaving it to wait as long as the store does.
bool LockWithStore(void (*whileStoreBusy)() = nullptr) ACQUIRE(systemLock);

// How long a wait for a busy store goes on before LockWithStore's
// whileStoreBusy is called (and again after each call).
constexpr DWORD kStoreBusySliceMs = 200;

// Holds a SystemMutex for a scope.
class SCOPED_CAPABILITY SystemLockGuard {
 public:
  explicit SystemLockGuard(SystemMutex& mu) ACQUIRE(mu) : mu_(mu) {
    mu_.Lock();
  }
  ~SystemLockGuard() RELEASE() { mu_.Unlock(); }
  SystemLockGuard(const SystemLockGuard&) = delete;
  SystemLockGuard& operator=(const SystemLockGuard&) = delete;

 private:
  SystemMutex& mu_;
};

// Releases a held SystemMutex for a scope (a socket call, a wait for the
// worker) and takes it again at the end of the scope.
class SCOPED_CAPABILITY SystemLockRelease {
 public:
  explicit SystemLockRelease(SystemMutex& mu) RELEASE(mu) : mu_(mu) {
    mu_.Unlock();
  }
  // Releases the scope, which takes the mutex again.
  ~SystemLockRelease() RELEASE() { mu_.Lock(); }
  SystemLockRelease(const SystemLockRelease&) = delete;
  SystemLockRelease& operator=(const SystemLockRelease&) = delete;

 private:
  SystemMutex& mu_;
};

#endif  // HOLLOWMARCH_SERVER_SYSTEM_LOCK_H_
