// The table of tracked databases: every object-store database whose record
// changes the system records, each opened with the hidden window as its
// notification target and each with a ChangeLog of its own.
//
// Discovery fills the table per data class at start-up (and when the peer
// enables a class that has no node yet); mail set-up adds the mail message
// database. Nodes are never removed while the system runs: CloseAllTracked
// closes their handles and deletes their logs at window close, and
// FreeAllTracked releases them at exit.
//
// Several databases of one class. Every node has its own change-log
// database. The first node added for a class uses the class's log name,
// "\Hollowmarch Change Log <class+256>"; every further node of that class
// uses "\Hollowmarch Log <class+256> <oidDb as 8 hex digits>", a name tied to
// the database it records, so no two nodes ever open, keep or delete each
// other's log, and a log kept across a quick restart is matched to the same
// database again. Readers see every database of the class: LoadClassLog and
// EndClassLog act on the log of every node of the class, and
// FirstTrackedOfClass / NextTrackedOfClass let a reader walk those nodes (each
// change then carries its node's oidDb).
//
// Threads: the window thread and the server's worker both use the table.
// Nothing here locks; every caller holds the process-wide lock (see
// tracking/tracking_state.h), and the analysis checks it: every operation
// says REQUIRES, and a node's log is reached only under the lock. The
// table has one shared cursor (pCursor): every
// walk through FirstTracked/NextTracked moves it, so only one such walk may be
// under way at a time.
#ifndef HOLLOWMARCH_TRACKING_TRACKED_DB_H_
#define HOLLOWMARCH_TRACKING_TRACKED_DB_H_

#include "platform/types.h"
#include "tracking/tracking_lock.h"

class ChangeLog;
class SyncStateCache;

// One tracked database. A zero-filled heap block (LocalAlloc) owned by the
// table; pLog is owned by the node.
struct TrackedDb {
  DWORD dwClass;      // the data class (24, 25, 26, 291 or 5454)
  HANDLE hDb;         // opened with the hidden window as notification target
  CEOID oidDb;        // the tracked database; notifications name it in lParam
  ChangeLog* pLog PT_GUARDED_BY(TrackingLock::systemLock);  // the node's change log
  TrackedDb* pPrev;   // towards the head; null at the head
  TrackedDb* pNext;   // away from the head; null at the end
};

class TrackedDbList {
 public:
  // `syncStates` must outlive the table; it is handed to every ChangeLog the
  // table creates and used for the sync-state rules of discovery.
  explicit TrackedDbList(SyncStateCache& syncStates);
  // Releases every node (FreeAllTracked); handles are not closed here.
  ~TrackedDbList();
  TrackedDbList(const TrackedDbList&) = delete;
  TrackedDbList& operator=(const TrackedDbList&) = delete;

  // Walk through the shared cursor. FirstTracked: cursor = head. NextTracked:
  // cursor = the cursor node's pNext, or the head when the cursor is null.
  // Both return the node at the cursor, or null.
  TrackedDb* FirstTracked() REQUIRES(TrackingLock::systemLock);
  TrackedDb* NextTracked() REQUIRES(TrackingLock::systemLock);

  // Walks of one class that leave the shared cursor alone: the first node of
  // the class from the head, and the next node of `node`'s class after it.
  // Null when there is none. Safe between two calls that hold the lock
  // separately, because nodes are not removed while the system runs.
  TrackedDb* FirstTrackedOfClass(DWORD dataClass) const REQUIRES(TrackingLock::systemLock);
  TrackedDb* NextTrackedOfClass(const TrackedDb* node) const REQUIRES(TrackingLock::systemLock);

  // A new node at the head for an open database `hDb` of `dataClass`, with a
  // change log bound through OpenLog (the class's log name for the class's
  // first node, else the database's own log name; see above). The node takes
  // `hDb` only on success. False, adding nothing, when memory, the log
  // object or the log database cannot be had.
  bool AddTrackedDb(DWORD dataClass, HANDLE hDb, CEOID oidDb) REQUIRES(TrackingLock::systemLock);

  // The first node from the head with that oidDb (the cursor stays on it),
  // or null.
  TrackedDb* FindTrackedByDb(CEOID oidDb) REQUIRES(TrackingLock::systemLock);

  // Load (LoadLog) / end (RewriteLog without force) the change list of every
  // node of the class. True when the class has a node, whatever the log
  // calls gave; false when it has none.
  bool LoadClassLog(DWORD dataClass) REQUIRES(TrackingLock::systemLock);
  bool EndClassLog(DWORD dataClass) REQUIRES(TrackingLock::systemLock);

  // Finds the databases of type `dataClass` and tracks every one not yet
  // tracked, opened with `hwndNotify` as notification target. True when every
  // database of the class is tracked and there is at least one. When the
  // enumeration cannot start, false and the sync state is left alone.
  // Otherwise the lost-log rule: a class that was SyncStateTracking whose
  // logs did not all survive (`recent` is false, or a database added now
  // got a new log rather than the one it had, or a database's own log was
  // left by a database that is gone), or any failure (a database that does
  // not open or cannot be added, or no database at all), leaves the class
  // SyncStateLost with SyncTime 0. Databases added stay tracked. Logs left
  // by gone databases are deleted (DeleteOrphanedLogs).
  //
  // A database that went while the system was not running leaves its own
  // log behind, which no node opens again. It is deleted here, and its
  // going loses the class: its records went without a change each.
  bool DiscoverClassDbs(DWORD dataClass, bool recent, HWND hwndNotify)
      REQUIRES(TrackingLock::systemLock);

  // Deletes every database named as a database's own log of this class
  // ("\Hollowmarch Log <class+256> <8 hex digits>", of the log type) that is
  // not the log of a node of the table. True when there was one (whether or
  // not its deletion succeeded; one that fails is tried again at the next
  // discovery).
  bool DeleteOrphanedLogs(DWORD dataClass) REQUIRES(TrackingLock::systemLock);

  // Whether the class's tracked databases are still all of its databases:
  // false when one of its nodes' databases is gone (its records went without
  // a notification each) or, for a class found by type, a database of that
  // type is not tracked (made while the system ran, so nothing of it was
  // recorded). Then the class's log cannot be complete: a class that was
  // tracking becomes SyncStateLost with SyncTime 0, a node whose database
  // is gone is retired (its handle closed and set to INVALID_HANDLE_VALUE,
  // its log deleted; the node stays), and the untracked databases are
  // tracked from now on (opened with `hwndNotify`), so that the next
  // enabling of the class covers them. True, changing nothing,
  // when all is as it was.
  bool CheckClassDatabases(DWORD dataClass, bool byType, HWND hwndNotify)
      REQUIRES(TrackingLock::systemLock);

  // Retires a node whose database is gone or was replaced: closes its
  // handle (hDb becomes INVALID_HANDLE_VALUE, so that it is not counted or
  // retired again) and deletes its log. The node stays in the table.
  void RetireTrackedDb(TrackedDb* node) REQUIRES(TrackingLock::systemLock);

  // Daily purge: removes from every loaded list the entries older than
  // PurgeDays (unsigned age; an entry exactly that old stays, one stamped in
  // the future goes), and raises the SyncTime of each tracked class that is
  // tracking to the cutoff (now - PurgeDays days) when it is lower (a class
  // that is not tracking is left alone: tracking/sync_horizon.h). The log databases are not
  // touched. Always true.
  bool PurgeOldChanges() REQUIRES(TrackingLock::systemLock);

  // Window close: closes every node's hDb and deletes every node's change-log
  // database (only closes it when `keepLogs`). The nodes stay (hDb keeps its
  // old value). Always true.
  bool CloseAllTracked(bool keepLogs = false) REQUIRES(TrackingLock::systemLock);

  // Unlinks and releases one node with its log object and entries (its log
  // database is neither closed nor deleted). The cursor moves so that a walk
  // removing its current node goes on with the node after it. False for null
  // or a failed release.
  bool RemoveTrackedDb(TrackedDb* node) REQUIRES(TrackingLock::systemLock);

  // Releases every node. True when every release succeeded.
  bool FreeAllTracked() REQUIRES(TrackingLock::systemLock);

  // When set, AddTrackedDb keeps a log left from before whatever the
  // device's uptime (ChangeLog::OpenLog's keepExisting). Set only while the
  // window's creation discovers its classes with logs kept across an orderly
  // restart; discovery's lost-log rule still decides whether each kept log
  // is trusted.
  bool fKeepExistingLogs = false;

  TrackedDb* pCursor = nullptr;  // the shared cursor; null: next starts at head
  TrackedDb* pHead = nullptr;    // the most recently added node

 private:
  SyncStateCache& syncStates_;
};

#endif  // HOLLOWMARCH_TRACKING_TRACKED_DB_H_
