// The tracking state: everything that the window thread and the sync
// server's worker share, owned in one place, with the lock that guards it.
//
// Ownership. A TrackingState owns, by value, the tracked-database table (and
// through it every change log), the mail folder list, the message uid map,
// the sync-state cache, the mail store's oids, the last-logged change and the
// capture flags. Nothing else owns a piece of it; code
// that works on the state takes a TrackingState& (never a part of it through
// a pointer that may be null). The program owns one (ProcessObjects,
// shell/process_objects.h), built after the device is opened and destroyed
// after the window thread and the worker have ended. Tests build a whole one
// on a temporary device in the same way; one that needs no mail store or
// window simply leaves those empty.
//
// Threads. The window thread (every window message: capture, the daily
// purge, the local change-list requests, start and stop of the server) and
// the sync server's worker (every message of the peer) both use it. Every
// member but the capture flags and hwndMain is guarded by systemLock, the
// one process-wide lock (see tracking/system_lock.h for how it is taken
// with the store's write lock). The window thread holds it around each
// window message it handles; the worker around each message of the peer and
// around the end of a connection. The tracking code itself never locks: its
// functions say REQUIRES(TrackingState::systemLock).
//
// systemLock is a static member (of TrackingLock, which the state derives
// from): the state is one per process, and one name for its lock lets the clang analysis match every REQUIRES with the lock
// its caller took, whichever object the caller reached the state through.
// Tests that build several states in turn share the one lock, as the program
// would.
#ifndef HOLLOWMARCH_TRACKING_TRACKING_STATE_H_
#define HOLLOWMARCH_TRACKING_TRACKING_STATE_H_

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/mutex.h"
#include "platform/types.h"
#include "settings/sync_state_cache.h"
#include "tracking/mail_store.h"
#include "tracking/tracked_db.h"
#include "tracking/tracking_lock.h"

// The oids of the mail store's two named databases, set by mail set-up (0
// when the database was not found then).
struct MailStoreOids {
  CEOID oidMailMsgs = 0;
  CEOID oidMailFolders = 0;
};

// The last change that capture appended or filtered as a repeat; read only
// by the repeat filter, shared by all classes, never reset while the process
// runs. bType 0xFF (no change type) means nothing was logged yet.
struct LastLoggedChange {
  BYTE bType = 0xFF;
  CEOID oidRec = 0;
  DWORD dwUid = 0;
  DWORD dwTime = 0;
};

// fCaptureSuppressed: while non-zero, object-store notifications are dropped
// instead of becoming change entries. fCaptureLocked: while non-zero, the
// peer's suspend command does not set fCaptureSuppressed. Both 0 at start.
// Atomic words: read and written with or without systemLock.
struct CaptureFlags {
  std::atomic<uint32_t> fCaptureSuppressed{0};
  std::atomic<uint32_t> fCaptureLocked{0};

  // Both 0 again: a new session, an end of session, a connection that ended
  // without one.
  void Clear() {
    fCaptureSuppressed.store(0);
    fCaptureLocked.store(0);
  }
};

class TrackingState : public TrackingLock {
 public:
  // An empty state: no tracked database, no mail folder, every sync state
  // uncached, capture not suppressed, no window. `hwndNotify` becomes
  // hwndMain.
  explicit TrackingState(HWND hwndNotify = 0);
  TrackingState(const TrackingState&) = delete;
  TrackingState& operator=(const TrackingState&) = delete;

  // The one process-wide lock (see above) is TrackingLock::systemLock,
  // named TrackingState::systemLock as well (tracking/tracking_lock.h).

  // Declared in construction order: the table keeps a reference to the
  // cache, and the members are destroyed in the reverse order.
  SyncStateCache syncStates GUARDED_BY(systemLock);
  TrackedDbList trackedDbs GUARDED_BY(systemLock);
  MailFolderDbList mailFolders GUARDED_BY(systemLock);
  MessageUidMap messageUids GUARDED_BY(systemLock);
  MailStoreOids mail GUARDED_BY(systemLock);
  LastLoggedChange lastLogged GUARDED_BY(systemLock);

  // Not guarded: atomic.
  CaptureFlags capture;

  // The hidden window: the notification target of every tracked database and
  // mail folder database, and where the worker posts its requests. Set by
  // the window thread at the window's creation, before the server starts
  // (so the worker, which reads it without the lock, sees it set); 0 before.
  std::atomic<HWND> hwndMain;
};

#endif  // HOLLOWMARCH_TRACKING_TRACKING_STATE_H_
