// Change capture: turns one object-store notification posted to the hidden
// window into at most one change entry in the change log of the class whose
// database it names.
//
// For the ordinary classes: find the tracked database, check that its class
// is SyncStateTracking, append. For mail the notification carries no MAPI
// uid, so capture searches the mail store for it (pmailFolders, then each
// folder database it names), keeps the MessageUidMap up to date, falls back
// on that map, and drops a folder notification whose uid it cannot
// establish.
//
// The window's message pump gathers notifications from its queue and hands
// them to CaptureNotifications, which captures them as one group in one
// store commit; LogDbChange captures one alone.
//
// Threads: window thread only, under the tracking state's lock
// (tracking/tracking_state.h), which also keeps the server's rebuild of the
// uid map from interleaving with a capture: CaptureNotifications takes it
// itself, LogDbChange is called with it held.
#ifndef HOLLOWMARCH_TRACKING_CHANGE_CAPTURE_H_
#define HOLLOWMARCH_TRACKING_CHANGE_CAPTURE_H_

#include <vector>

#include "platform/types.h"
#include "tracking/tracking_state.h"

// One object-store notification as the window took it from its queue.
struct Notification {
  UINT uiMessage;  // any message of the range DB_CEOID_CREATED..DB_CEOID_CHANGED
  CEOID oidRec;    // its wParam
  CEOID oidDb;     // its lParam
};

// True for the three messages capture records: DB_CEOID_CREATED,
// DB_CEOID_RECORD_DELETED, DB_CEOID_CHANGED.
bool IsChangeNotification(UINT uiMessage);

// Where a group takes the notifications queued behind its batch once it
// holds the store: the window's queue, as the window thread reads it.
class NotificationSource {
 public:
  // Takes the next message of the notification range off the queue, in
  // order; false when none waits. Called on the thread that captures, with
  // systemLock held.
  virtual bool Next(Notification* next) = 0;

 protected:
  ~NotificationSource() = default;
};

// The queue of the window the notifications are posted to: takes its
// messages of the notification range (PeekMessageW, PM_REMOVE), in order.
// Other messages keep their place. On the window's own thread.
class WindowNotificationQueue final : public NotificationSource {
 public:
  explicit WindowNotificationQueue(HWND window) : window_(window) {}
  bool Next(Notification* next) override;

 private:
  const HWND window_;
};

// The most messages of the notification range captured in one store commit:
// those queued behind a batch join it up to this many. Bounds how long
// capture holds the store's write lock (a few milliseconds).
constexpr int kCaptureGroupMax = 256;

// Captures `batch` (at least one message, taken off the window's queue in
// order) and what `more` holds behind it, up to kCaptureGroupMax messages in
// all, as one group, and returns how many failures the window is to show
// (each as kCaptureAppendFailed; 0 when all went well).
//
// The group is the one owner of its store transaction and of systemLock:
// called without either, it returns having released both. In order:
//  - A batch capture would record nothing of (capture suppressed, or no
//    notification of it on a database being tracked, and no loss waiting
//    to be written) is acknowledged under systemLock alone: another program
//    writing record after record, the very writes notified, never waits for
//    capture's store write lock.
//  - Otherwise the store's write lock is taken with systemLock
//    (LockWithStore, tracking/system_lock.h), `whileStoreBusy` (may be
//    null) being called while the store stays busy, so that a busy store
//    stalls capture alone and never the worker. Each store call under the
//    lock then waits at most kStoreWaitUnderSystemLockMs.
//  - Capture suppressed meanwhile: the batch is acknowledged as dropped.
//  - Each change notification is handled as LogDbChange does, the queue's
//    later ones included, except that its change waits: at the commit each
//    log takes the group's changes for it, in order, in one append (one
//    trim check, one time for them all). A log whose append fails loses its
//    class with nothing of the group kept in it, and counts as one failure.
//    Then the group commits once: its changes and the
//    acknowledgement of the last message taken (which acknowledges every
//    one before it) become durable together, or none of it does. When the
//    group cannot be committed, nothing of it stays: the repeat filter
//    forgets its changes and every class it recorded for is lost (written
//    afresh; held as an unsaved loss, tracking/sync_horizon.h, when that
//    fails), and nothing is acknowledged.
//  - A store that could not be had within its wait fails every change of
//    the group at once: each class it records for is lost, none waits again.
// Messages of the range that are not change notifications count towards
// the group's size and are otherwise passed over.
//
// Threads: the window thread (the one thread that captures).
int CaptureNotifications(TrackingState& ctx, const std::vector<Notification>& batch,
                         NotificationSource& more, void (*whileStoreBusy)())
    EXCLUDES(TrackingState::systemLock);

// Whether capture of a notification on `oidDb` may write to the store: its
// database (pmailMsgs for a mail folder) is tracked and its class is being
// tracked, or losses wait to be written.
bool CaptureMayWrite(TrackingState& ctx, CEOID oidDb) REQUIRES(TrackingState::systemLock);

// LogDbChange's result when the change log refused the entry; also the id of
// the string "Unable to add change notification" that the window shows.
constexpr DWORD kCaptureAppendFailed = 101;

// Handles one notification alone, as a group of its own whose store
// transaction begins with its change, if any: `uiMessage` is DB_CEOID_CREATED,
// DB_CEOID_RECORD_DELETED or DB_CEOID_CHANGED (any other number is recorded
// as an Add), `oidRec` its wParam, `oidDb` its lParam. Returns 0 when it was
// recorded, filtered as a repeat (same type, oid and uid as the last logged
// change within the same second), dropped or ignored; kCaptureAppendFailed
// when the append failed (the last logged change is then left as it was, so
// an identical notification is appended, not filtered). Writes one trace
// line per call. Every handle the mail search opens is closed and every
// record buffer released before it returns.
//
// Exactly once across a crash: a change is appended in one store
// transaction with the acknowledgement of the notification being handled
// (platform/notification_journal.h; the message the window thread took
// last), so both become durable or neither does. A notification that
// records nothing is acknowledged outside a transaction. When the append
// fails, the class is lost, and that loss is written in the same
// transaction as the acknowledgement; when the transaction itself cannot be
// committed, nothing of it stays, the class is lost (written afresh) and the
// notification is left unacknowledged. Without a journal the
// acknowledgements do nothing.
DWORD LogDbChange(TrackingState& ctx, UINT uiMessage, CEOID oidRec, CEOID oidDb)
    REQUIRES(TrackingState::systemLock);

#endif  // HOLLOWMARCH_TRACKING_CHANGE_CAPTURE_H_
