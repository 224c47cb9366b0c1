// How the process-wide lock (TrackingState::systemLock, declared with the
// state it guards in tracking/tracking_state.h) is used, and how it is taken
// together with the object store's write lock.
//
// The design:
//  - One lock serialises every access to the tracking state. The window
//    thread holds it around each window message it handles; the worker holds
//    it around each message the dispatcher handles (server/message_dispatch.h)
//    and around the end of a connection. Nothing else takes it, and the
//    tracking code itself never locks: it is always entered with the lock held.
//  - No socket call and no sleep is made while the lock is held, so a peer
//    that stops reading can never freeze capture on the window thread. The
//    worker receives and sends with the lock released: a handler only writes
//    its reply into a buffer, which the transport sends once the dispatcher
//    has let the lock go. The server's start and stop release it while they
//    make sockets or wait (server/sync_server.h).
//  - The capture flags are atomic words; they may be read and written with or
//    without the lock.
#ifndef HOLLOWMARCH_TRACKING_SYSTEM_LOCK_H_
#define HOLLOWMARCH_TRACKING_SYSTEM_LOCK_H_

#include "platform/mutex.h"
#include "platform/types.h"
#include "tracking/tracking_state.h"

// How long a store call made with systemLock held may wait for the store's
// write lock. The store's write lock is taken before systemLock by the work
// that must wait for it (capture, the peer's commands that write); anything
// else that finds the store busy while holding systemLock fails after this
// wait rather than stall the other thread, which may be holding the store
// while it waits for systemLock.
constexpr DWORD kStoreWaitUnderSystemLockMs = 1000;

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
bool LockWithStore(void (*whileStoreBusy)() = nullptr) ACQUIRE(TrackingState::systemLock);

// How long a wait for a busy store goes on before LockWithStore's
// whileStoreBusy is called (and again after each call).
constexpr DWORD kStoreBusySliceMs = 200;

#endif  // HOLLOWMARCH_TRACKING_SYSTEM_LOCK_H_
