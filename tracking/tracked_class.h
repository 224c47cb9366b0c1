// What the layers above tracking may do to a data class's tracking: the
// operations the peer's commands and queries, the local change-list
// interface and the window's start, close and daily purge are made of. Each
// acts on every tracked database of the class (a class may have several,
// tracking/tracked_db.h), so no caller walks the table or reaches a log.
// The sync state and time of a class are written only through
// tracking/sync_horizon.h; these operations keep its rules.
//
// Threads: the window thread or the server's worker, with systemLock held
// (tracking/tracking_state.h).
#ifndef HOLLOWMARCH_TRACKING_TRACKED_CLASS_H_
#define HOLLOWMARCH_TRACKING_TRACKED_CLASS_H_

#include <span>

#include "platform/types.h"
#include "tracking/tracking_state.h"

// True when the class has at least one tracked database. A volume index
// (what the free-space query leaves as the selected class) names none.
bool HasTrackedDatabases(TrackingState& tracking, DWORD dataClass)
    REQUIRES(TrackingState::systemLock);

// What selecting a class for the peer's enable, disable and forget found.
struct ClassSelection {
  bool enabled = false;  // the class has at least one tracked database
  bool existed = false;  // it had one before the selection
};

// Makes sure the class is tracked: a class with databases is checked first
// (a database made, deleted or replaced since it was last looked at was
// written with nobody told: the class is lost before it may enter tracking
// afresh, and the databases it now has are watched); a class without any
// is discovered, with the hidden window as notification target. For mail
// the mail store is checked first.
ClassSelection SelectTrackedClass(TrackingState& tracking, DWORD dataClass)
    REQUIRES(TrackingState::systemLock);

// Whether the class's tracked databases are still all of its databases
// (TrackedDbList::CheckClassDatabases; mail checks its store first, and its
// databases are found by name, the others by type). False, having lost the
// class and watched its new databases, when they are not.
bool CheckClassDatabases(TrackingState& tracking, DWORD dataClass)
    REQUIRES(TrackingState::systemLock);

// Forgets the loaded change of the record `oidRec` in every log of the
// class: its record goes from the log database and its entry from the list.
// Only a loaded list holds entries, so nothing is found after the lists
// were ended.
void ForgetChange(TrackingState& tracking, DWORD dataClass, CEOID oidRec)
    REQUIRES(TrackingState::systemLock);

// Deletes the log database of every database of the class; the nodes and
// their loaded lists stay. For a class the peer disables (lost beforehand).
void DeleteClassLogs(TrackingState& tracking, DWORD dataClass)
    REQUIRES(TrackingState::systemLock);

// Loads (LoadLog) / ends (RewriteLog without force) the change list of
// every database of the class. True when the class has a database,
// whatever the log calls gave.
bool LoadClassChanges(TrackingState& tracking, DWORD dataClass)
    REQUIRES(TrackingState::systemLock);
bool EndClassChanges(TrackingState& tracking, DWORD dataClass)
    REQUIRES(TrackingState::systemLock);

// The peer's flush: ends the class's lists and rebuilds the mail uid map.
void FlushClassChanges(TrackingState& tracking, DWORD dataClass)
    REQUIRES(TrackingState::systemLock);

// After a store transaction around a command on the class was rolled back:
// what the logs believe they wrote or deleted may not exist, so a class
// with databases is lost and every one of its logs forgets its database
// (the next append finds or makes it anew). A class without databases is
// left alone.
void RollBackClass(TrackingState& tracking, DWORD dataClass) REQUIRES(TrackingState::systemLock);

// Discovery at the window's creation: every database of each of `classes`
// in turn, then, when `withMail`, the mail store (tracking/mail_tracking.h),
// opened with `window` as notification target. `recent` is the start-up
// test of the lost-log rule (TrackedDbList::DiscoverClassDbs); with
// `keepLogs` the logs left from before are kept whatever the device's
// uptime (the rule still decides whether each is trusted).
void DiscoverTrackedClasses(TrackingState& tracking, std::span<const DWORD> classes,
                            bool withMail, bool recent, bool keepLogs, HWND window)
    REQUIRES(TrackingState::systemLock);

// The window's close: closes every tracked database and deletes its log,
// or only closes the log when `keepLogs` (TrackedDbList::CloseAllTracked),
// then closes every mail folder database.
void CloseTrackedDatabases(TrackingState& tracking, bool keepLogs)
    REQUIRES(TrackingState::systemLock);

// The daily purge of every loaded list (TrackedDbList::PurgeOldChanges).
void PurgeOldChanges(TrackingState& tracking) REQUIRES(TrackingState::systemLock);

#endif  // HOLLOWMARCH_TRACKING_TRACKED_CLASS_H_
