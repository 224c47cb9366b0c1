// Mail set-up: puts the mail store (tracking/mail_store.h) under tracking in
// the tracking state, at window creation and as capture meets folder
// databases made later.
//
// Threads: the window thread, with the tracking state's lock held (and
// CheckMailStore, below, also the worker).
#ifndef HOLLOWMARCH_TRACKING_MAIL_TRACKING_H_
#define HOLLOWMARCH_TRACKING_MAIL_TRACKING_H_

#include "platform/types.h"
#include "tracking/tracking_state.h"

// Mail set-up at window creation (only when the platform's major version is
// above 1): finds pmailMsgs (oidMailMsgs) and tracks it as class 5454, puts
// every folder database named in pmailFolders under notification
// (oidMailFolders), and rebuilds the uid map. Each step runs whatever the
// previous one achieved; nothing is reported. Class 5454 follows the
// lost-log rule of discovery (tracked_db.h) with `recent` the start-up
// test: when it was tracking and its log did not survive, or pmailMsgs
// could not be opened or tracked, it becomes SyncStateLost with SyncTime 0.
void SetUpMailTracking(TrackingState& ctx, bool recent) REQUIRES(TrackingState::systemLock);

// Whether pmailMsgs is still the database that set-up (or the last check)
// tracked. When it was deleted, replaced (the same name, another oid) or
// made since, the class's log cannot hold what happened to it: class 5454
// is lost, the old node retired (tracked_db.h), the database now named
// pmailMsgs tracked (oidMailMsgs follows it), the folder databases tracked
// anew and the uid map rebuilt. True, changing nothing, when all is as it
// was. Any thread that holds the lock (the worker checks before it answers
// the sync-state query and before an enable of class 5454).
bool CheckMailStore(TrackingState& ctx) REQUIRES(TrackingState::systemLock);

// Sets oidMailFolders from pmailFolders and tracks each folder database that
// its records name (every PROPID_FOLDER_DBNAME of a record that converts).
// pmailFolders is closed again before it returns.
void TrackMailFolderDbs(TrackingState& ctx) REQUIRES(TrackingState::systemLock);

// Opens the folder database `name` with the hidden window as notify target
// and adds it to ctx.mailFolders, or closes the new handle when that oid is
// tracked already.
void TrackMailFolderDbByName(TrackingState& ctx, LPCWSTR name) REQUIRES(TrackingState::systemLock);

// Puts the folder database `oidDb` under notification unless it is tracked
// already (looked up before anything is opened).
void TrackMailFolderDbByOid(TrackingState& ctx, CEOID oidDb) REQUIRES(TrackingState::systemLock);

#endif  // HOLLOWMARCH_TRACKING_MAIL_TRACKING_H_
