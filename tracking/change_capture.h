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
// Threads: window thread only, under the tracking state's lock
// (tracking/tracking_state.h), which also keeps the server's rebuild of the
// uid map from interleaving with a capture.
#ifndef HOLLOWMARCH_TRACKING_CHANGE_CAPTURE_H_
#define HOLLOWMARCH_TRACKING_CHANGE_CAPTURE_H_

#include <vector>

#include "platform/types.h"
#include "tracking/tracking_state.h"

struct TrackedDb;

// Group commit: several notifications taken from the window's queue one
// after the other are captured in one store transaction, begun with the
// first change to record; the changes of them all and the acknowledgement
// of the last (which acknowledges every one before it) become durable
// together, or none of it does. Add handles one notification as LogDbChange
// does, without committing; Commit ends the group. When the group cannot be
// committed, nothing of it stays: the repeat filter forgets its changes and
// every class it recorded for is lost (written afresh; held as an unsaved
// loss, tracking/sync_horizon.h, when that fails). A group must be short: the store's write
// lock is held from its first change to Commit. The window thread takes
// that lock before systemLock (Store::kBegun), so that a busy store stalls
// capture alone and never the thread that waits for systemLock.
class CaptureGroup {
 public:
  // Where the group's store transaction comes from.
  enum class Store {
    kBeginWhenNeeded,  // begun with the first change to record
    kBegun,            // the caller's CeBeginTransaction, which the group ends
    kUnavailable,      // the caller could not get the store: call by call
  };
  explicit CaptureGroup(TrackingState& ctx, Store store = Store::kBeginWhenNeeded)
      REQUIRES(TrackingState::systemLock);
  // Commits if Commit was not called; so the group must end while the lock
  // is still held.
  ~CaptureGroup();
  CaptureGroup(const CaptureGroup&) = delete;
  CaptureGroup& operator=(const CaptureGroup&) = delete;

  // The notification of the message the window thread took last; 0 or
  // kCaptureAppendFailed as LogDbChange.
  DWORD Add(UINT uiMessage, CEOID oidRec, CEOID oidDb) REQUIRES(TrackingState::systemLock);
  // kCaptureAppendFailed when changes were recorded and the group could not
  // be committed; else 0. Once.
  DWORD Commit() REQUIRES(TrackingState::systemLock);

 private:
  void Touch(TrackedDb& tracked);

  TrackingState& ctx_;
  LastLoggedChange savedLast_;
  std::vector<TrackedDb*> touched_;
  bool began_ = false;
  bool inTransaction_ = false;
  bool appended_ = false;
  bool allHandled_ = true;
  bool committed_ = false;
};

// Whether capture of a notification on `oidDb` may write to the store: its
// database (pmailMsgs for a mail folder) is tracked and its class is being
// tracked, or losses wait to be written. When it is false, CaptureGroup::Add
// returns at once and writes nothing, so a group of such notifications needs
// neither the store's write lock nor a transaction: it is acknowledged as
// AcknowledgeDropped does.
bool CaptureMayWrite(TrackingState& ctx, CEOID oidDb) REQUIRES(TrackingState::systemLock);
// The trace line Add writes first for every notification, for one handled
// without Add.
void TraceNotification(UINT uiMessage, CEOID oidRec, CEOID oidDb);

// A notification that capture does not look at (capture suppressed):
// acknowledged as handled, unless losses wait to be written.
void AcknowledgeDropped(TrackingState& ctx) REQUIRES(TrackingState::systemLock);

// LogDbChange's result when the change log refused the entry; also the id of
// the string "Unable to add change notification" that the window shows.
constexpr DWORD kCaptureAppendFailed = 101;

// Handles one notification: `uiMessage` is DB_CEOID_CREATED,
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
