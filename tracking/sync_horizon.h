// A class's sync horizon: the promise that its change log holds every change
// of the class from its sync time on.
//
// The registry carries the promise in two values per class: SyncState_<class>
// (tracking, lost or none) and SyncTime_<class> (the horizon). The peer's
// sync-state query answers "complete" for a time T exactly when the class is
// tracking and T is not before the horizon, and the peer then takes the log's
// entries from T on for every change made since. So the two values are
// written here and nowhere else, by the operations below, each of which keeps
// these rules:
//
//  - Entering tracking from any other state takes a new horizon, never an
//    older value left in the registry: nothing was recorded before it.
//  - The new horizon is later than every anchor (the device time the
//    enabling commands answered, kept as LastSyncTime_<class>) handed out
//    before: a peer that synced in the second of a loss must not find the
//    class complete from its anchor, even when the loss came from an
//    instance that has closed since.
//  - While a class is tracking its horizon only rises; the operations that
//    move it leave a class that is not tracking alone.
//  - The horizon is written before the state says tracking, and a cached
//    state says tracking only when the registry does: a write that fails
//    loses the class (the cache reads lost whatever the registry kept).
//  - A clock earlier than a time the class has already recorded (its
//    horizon, an anchor it handed out, a change it stamped) breaks the order
//    of its stamps against the peer's anchors: the class is lost, and it
//    cannot enter tracking again until the clock has passed that time.
//
// Threads: every operation is called under TrackingState::systemLock (the
// cache is guarded by it), from the window thread or the server's worker.
// Each opens and closes the settings key itself (settings/registry_store.h).
#ifndef HOLLOWMARCH_TRACKING_SYNC_HORIZON_H_
#define HOLLOWMARCH_TRACKING_SYNC_HORIZON_H_

#include "platform/types.h"
#include "settings/sync_state_cache.h"

// Starts (or goes on) tracking the class. A class that the registry and the
// cache both read tracking, with a horizon, stays as it is: true. Any other
// class takes as its horizon the first second later than every anchor and
// stamp it recorded (waiting up to a second for the clock to get there),
// writes it, then the state. False, the class lost, when a write fails or
// the clock stands before a time the class recorded (set back): such a class
// stays lost until the clock has caught up. The wait (only when the class
// answered the peer in the current second) holds the caller's lock: capture
// waits with it, and its notifications stay queued meanwhile.
bool EnterTracking(SyncStateCache& cache, DWORD dataClass);

// The class's log can no longer serve a fast sync: SyncStateLost, then
// horizon 0. The cache reads lost even when nothing could be written. True
// when both writes succeeded; otherwise the loss stays unsaved (the
// registry may still say tracking, and a later instance would believe it)
// until a later loss of the class, or WriteUnsavedLosses, writes it.
bool LoseClass(SyncStateCache& cache, DWORD dataClass);

// Whether any class's loss is unsaved. While one is, capture acknowledges
// no notification: the next holder of the notification journal must be
// posted the ones whose changes are missing, rather than take the class's
// log for complete (tracking/change_capture.h).
bool LossesUnsaved(const SyncStateCache& cache);

// Writes every unsaved loss again; true when none is left.
bool WriteUnsavedLosses(SyncStateCache& cache);

// The class is no longer tracked and nothing is known of it (a restore from
// a backup, a local request): SyncStateNone. Its horizon is left; entering
// tracking takes a new one. The cache reads none even when the write fails.
bool UntrackClass(SyncStateCache& cache, DWORD dataClass);

// The log no longer holds the changes before `horizon` (the purge, a trim):
// a tracking class whose horizon is earlier gets `horizon`. A class that is
// not tracking, or whose horizon is already later, is left alone. True when
// nothing had to be written or the write succeeded; a failed write loses the
// class (the old horizon would promise entries that are gone).
bool RaiseSyncTime(SyncStateCache& cache, DWORD dataClass, DWORD horizon);

// For the length of a rewrite of the class's log, during which a process
// killed between two store calls would leave a log that misses changes: a
// tracking class reads lost (horizon 0), with *held = true and *horizon the
// horizon it had. Not tracking: nothing written, *held = false. False when
// the loss could not be written (the class stays as the registry said,
// tracking, and the rewrite must not start).
bool HoldForRewrite(SyncStateCache& cache, DWORD dataClass, bool* held, DWORD* horizon);

// Ends a hold: the class tracks again with the later of its old horizon and
// `horizon` (what the rewritten log still holds). A failed write leaves it
// lost.
void EndRewriteHold(SyncStateCache& cache, DWORD dataClass, DWORD oldHorizon, DWORD horizon);

// The clock check before the class records a time: false when `now` is
// earlier than a time the class has recorded, and a tracking class is then
// lost. True otherwise. Cheap: reads only the cache once it knows the
// class's recorded time.
bool ClockKeepsOrder(SyncStateCache& cache, DWORD dataClass, DWORD now);

// `time` was recorded for the class: a change stamped, an anchor answered.
// Later checks compare the clock with it.
void NoteRecordedTime(SyncStateCache& cache, DWORD dataClass, DWORD time);

// An anchor answered to the peer at `now`: noted as above, and the time to
// keep as the class's LastSyncTime, which a later process reads as the
// newest time the class recorded. That is `now`, unless the clock has been
// set back since a later time was recorded: then that later time, so that
// no later process takes a horizon a peer's anchor could equal or pass.
DWORD NoteAnchor(SyncStateCache& cache, DWORD dataClass, DWORD now);

#endif  // HOLLOWMARCH_TRACKING_SYNC_HORIZON_H_
