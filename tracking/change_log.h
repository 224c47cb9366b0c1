// The change log of one data class: the persistent record of every change
// made to the class's object-store databases since tracking began.
//
// The store of record is an object-store database of its own,
// "\Hollowmarch Change Log <dwLogType>" of type dwLogType (the class + 256),
// opened with CEDB_AUTOINCREMENT and no notification window, holding one
// record per change: a single CEVT_BLOB property (identifier 0x00010041) of
// 17 little-endian bytes: bType, dwTime, dwReserved, dwUid, oidRec.
//
// A time-ordered list of ChangeEntry (tracking/change_time_list.h) mirrors
// the database only while a reader has loaded it (LoadLog ... RewriteLog).
// Loading resolves several records of one changed record into one entry.
// Appending never touches the list; it trims the database when the store
// runs short of space (change_log_trim.cc).
//
// Beside the list, a bound log keeps a mirror of its database's records
// (change_record_mirror.h: about 20 bytes a record and 16 to 32 a changed
// record), so that a trim can find and delete the oldest records without
// reading the log.
//
// Threads: a ChangeLog takes no lock. The window thread and the server's
// worker both reach it, so every call, const or not, is made with systemLock
// held (tracking/tracking_state.h; every operation says REQUIRES); so is
// every use of a ChangeCursor it gave and of an entry pointer it returned.
// What the log hands out is good only under that one holding of the lock,
// unless it says otherwise: an entry pointer until the list next changes, a
// cursor as tracking/change_cursor.h says.
//
// Ownership: the log owns its list (and through it the entries, released
// only by RemoveEntry and FreeEntries), its database handle and its mirror.
// The list operations below are the list's own (tracking/change_time_list.h
// says how the iteration cursor and the cursors move); readers of a class's
// changes keep positions of their own (tracking/change_reader.h).
#ifndef HOLLOWMARCH_TRACKING_CHANGE_LOG_H_
#define HOLLOWMARCH_TRACKING_CHANGE_LOG_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/types.h"
#include "tracking/change_cursor.h"
#include "tracking/change_entry.h"
#include "tracking/change_record_mirror.h"
#include "tracking/change_time_list.h"
#include "tracking/tracking_lock.h"

class SyncStateCache;
struct CEFIRSTPROP;  // platform/object_store.h

// The single property of a change-log record and the size of its blob.
constexpr CEPROPID kChangeRecordPropId = 0x00010041;
constexpr DWORD kChangeRecordSize = 17;

// The log database's type for a class, and the class of a log type.
constexpr DWORD kLogTypeOffset = 256;

// Below this many free bytes of the object store (or at exactly this many),
// an append trims a log of 100 records or more.
constexpr uint64_t kLowFreeSpaceBytes = 0x300000;
constexpr WORD kTrimMinRecords = 100;
// How many records a trim frees: the oldest changes go until, with the
// duplicates and empty records a load drops, this many records are gone.
constexpr DWORD kTrimRecords = 10;

// Log names. The first database of a class keeps the class's log name; the
// others get one that names their database. `out` receives at most
// `out_chars` units including the terminating NUL (32 is always enough).
void FormatClassLogName(DWORD dataClass, WCHAR* out, int out_chars);
void FormatDatabaseLogName(DWORD dataClass, CEOID oidDb, WCHAR* out,
                           int out_chars);
// A further log's name ends in its database's identifier, this many
// lower-case hex digits.
constexpr size_t kDatabaseLogOidDigits = 8;

// The 17-byte record form of an entry's first five fields.
void EncodeChangeRecord(BYTE bType, DWORD dwTime, DWORD dwReserved,
                        DWORD dwUid, CEOID oidRec, BYTE out[kChangeRecordSize]);

// A change waiting to be recorded: the fields of its record but the time.
struct PendingChange {
  BYTE bType;
  CEOID oidRec;
  DWORD dwUid;
};

class ChangeLog {
 public:
  // The log keeps `syncStates` (which must outlive it) for the sync state
  // and sync time it updates. A new log is unbound (no database) and empty.
  explicit ChangeLog(SyncStateCache& syncStates);
  // Releases the entries of a loaded list; closes and deletes nothing (at
  // shutdown the owner has deleted the database beforehand).
  ~ChangeLog();
  ChangeLog(const ChangeLog&) = delete;
  ChangeLog& operator=(const ChangeLog&) = delete;

  // Binds the log to its class's database. When the device started less than
  // 30 seconds ago, or `keepExisting` is true, an existing database is kept
  // unchanged; otherwise it is deleted. Then a missing database is created.
  // True when a database was kept or created. Call once, after construction.
  // Whether a kept log is complete is the caller's to judge (tracked_db.h).
  bool OpenLog(DWORD dataClass, bool keepExisting = false) REQUIRES(TrackingLock::systemLock);
  // The same under the database name `name` (at most 31 characters) instead
  // of the class's log name: a class with several tracked databases gives
  // each further database a log of its own. The log keeps the name for every
  // later creation of its database.
  bool OpenLog(DWORD dataClass, LPCWSTR name, bool keepExisting = false)
      REQUIRES(TrackingLock::systemLock);

  // Whether OpenLog kept a log from before (the device had just started, or
  // the caller asked, and the log existed). A class that was tracking can
  // trust its log only then.
  bool KeptOnOpen() const REQUIRES(TrackingLock::systemLock) { return fLogKept != 0; }

  // Forgets the database binding and any loaded list, so that the next
  // append finds or makes the database anew. For a caller whose transaction
  // around this log's work was rolled back: what the log believes it made
  // or deleted may not exist as it believes.
  void ForgetDatabase() REQUIRES(TrackingLock::systemLock);

  // Creates and opens the database when none is open; true when one is open
  // already. A database of the log's name left behind by a delete that
  // failed is deleted and made anew, or, when it still cannot be deleted,
  // opened and written on. False only when no database can be had. A failed
  // open after a successful creation still gives true (the next write then
  // fails).
  bool CreateLogDb() REQUIRES(TrackingLock::systemLock);

  // Closes the database handle and deletes the database. True when deleted;
  // on failure oidLogDb stays set (the handle is closed all the same). The
  // list is not touched.
  bool DeleteLogDb() REQUIRES(TrackingLock::systemLock);

  // Records one change at the current time, at the end of the database,
  // trimming the oldest changes first when the database holds 100 records or
  // more and the store has at most 3 MB free. False when nothing was
  // written: the database cannot be had or the write failed; either way the
  // class becomes SyncStateLost with sync time 0 (see WriteEntry).
  //
  // The trim leaves the entries a load, the removal of the oldest ones and a
  // rewrite would leave, and moves the sync time to the oldest one kept. It
  // deletes records in place: with no list loaded and a database whose
  // records (as the log knows them) a load would take one for one, in time
  // order, it costs one delete per record removed, whatever the log's size;
  // otherwise it loads the log first. A failed delete loses the class as a
  // failed write does.
  bool AppendChange(BYTE bType, CEOID oidRec, DWORD dwUid) REQUIRES(TrackingLock::systemLock);

  // Records `n` (at least 1) changes as n AppendChange calls would, in order
  // and all at one time, taken after the trim (written to *dwTime on
  // success), with one store write for them all: they land together or
  // not at all. Short of space they go as those n calls would, each after
  // its own trim, at its own time (the last written to *dwTime); a failed
  // one then loses the class as a failed AppendChange does, and the log
  // keeps nothing. On failure nothing of them is kept and
  // the class is lost as a failed AppendChange leaves it.
  bool AppendChanges(const PendingChange* changes, size_t n, DWORD* dwTime)
      REQUIRES(TrackingLock::systemLock);

  // Appends one record. On failure the database is closed and deleted, the
  // class becomes SyncStateLost with sync time 0, and the next AppendChange
  // starts a fresh database.
  bool WriteEntry(BYTE bType, DWORD dwTime, CEOID oidRec, DWORD dwUid)
      REQUIRES(TrackingLock::systemLock);

  // Reads every record into the list (which is not emptied first), resolving
  // several records for one oidRec into one entry and setting fRewrite when
  // that happened. True when every record was read; false when reading
  // stopped on an error (the entries read so far stay loaded).
  bool LoadLog() REQUIRES(TrackingLock::systemLock);

  // Adds an entry in time order (an equal time goes older than the entries
  // that have it). False when no memory. Moves the cursor (newest-first) to
  // the entry just older than the new one. Constant time when the time is
  // not older than the newest entry's (a load of appended records).
  bool InsertEntry(BYTE bType, CEOID oidRec, DWORD dwTime, DWORD dwReserved, DWORD dwUid)
      REQUIRES(TrackingLock::systemLock) {
    return list_.InsertEntry(bType, oidRec, dwTime, dwReserved, dwUid);
  }

  // Iteration over the one cursor of the list. Each returns the entry at the
  // cursor, null past the end; one more step then starts again at the start.
  ChangeEntry* FirstNewest() REQUIRES(TrackingLock::systemLock) { return list_.FirstNewest(); }
  ChangeEntry* NextOlder() REQUIRES(TrackingLock::systemLock) { return list_.NextOlder(); }
  ChangeEntry* FirstOldest() REQUIRES(TrackingLock::systemLock) { return list_.FirstOldest(); }
  ChangeEntry* NextNewer() REQUIRES(TrackingLock::systemLock) { return list_.NextNewer(); }
  // Sets the iteration back before the newest entry without reading it: the
  // next NextOlder gives the newest.
  void RewindNewestFirst() REQUIRES(TrackingLock::systemLock) { list_.RewindNewestFirst(); }

  // The newest entry with that oidRec, or null. Leaves the cursor at the
  // result (null when none) in a newest-first walk.
  ChangeEntry* FindEntry(CEOID oidRec) REQUIRES(TrackingLock::systemLock) {
    return list_.FindEntry(oidRec);
  }

  // Unlinks and releases an entry of this list. The cursor moves so that a
  // walk can remove its current entry and step on; every cursor given
  // before stops being intact (IsIntact). False for null or when the
  // release fails.
  bool RemoveEntry(const ChangeEntry* entry) REQUIRES(TrackingLock::systemLock) {
    return list_.RemoveEntry(entry);
  }

  // Releases every entry and empties the list; the list's generation moves
  // on, so every cursor given before is stale from now on. False when a
  // release failed (the walk goes on). the walk's direction, fRewrite and the inserted count
  // stay.
  bool FreeEntries() REQUIRES(TrackingLock::systemLock);

  // Ends a reader: when the last load met duplicates, or `force`, rebuilds
  // the database from the list (and keeps every record appended since the
  // load); then releases the list. False when a write failed (the list then
  // stays loaded; the class is lost).
  bool RewriteLog(bool force) REQUIRES(TrackingLock::systemLock);

  // Deletes the first record of the database whose oidRec is the entry's.
  // The list is not touched; the caller removes the entry itself. When no
  // record matches, true exactly when the database was read to its end.
  bool DeleteEntryRecord(const ChangeEntry* entry) REQUIRES(TrackingLock::systemLock);

  // Queries the object store's free bytes into qwFreeBytes (kept when the
  // query fails) and answers whether more than 3 MB are free.
  bool HasFreeSpace() REQUIRES(TrackingLock::systemLock);

  // Closes the database handle and keeps the database, as a program that
  // stops with its logs kept does. The list is not touched.
  void CloseLogDb() REQUIRES(TrackingLock::systemLock);

  // Cursors (tracking/change_cursor.h). A cursor at the newest entry of the
  // list as it stands (past the end when it is empty), at the entry the
  // iteration cursor stands on, and at the next older entry of an intact
  // cursor (past the end after the oldest; any other cursor is given back
  // as it is, and reads as nothing).
  ChangeCursor NewestCursor() const REQUIRES(TrackingLock::systemLock) {
    return list_.NewestCursor();
  }
  ChangeCursor IterationCursor() const REQUIRES(TrackingLock::systemLock) {
    return list_.IterationCursor();
  }
  ChangeCursor OlderCursor(const ChangeCursor& at) const REQUIRES(TrackingLock::systemLock) {
    return list_.OlderCursor(at);
  }
  // True when `at` was taken from this log's list as it stands: the list has
  // not been released since. Entries may have been removed since.
  bool IsCurrent(const ChangeCursor& at) const REQUIRES(TrackingLock::systemLock) {
    return list_.IsCurrent(at);
  }
  // True when `at` is current and no entry has been removed since it was
  // taken, so that its entry is live.
  bool IsIntact(const ChangeCursor& at) const REQUIRES(TrackingLock::systemLock) {
    return list_.IsIntact(at);
  }
  // The entry of an intact cursor; null past the end or for any other.
  const ChangeEntry* At(const ChangeCursor& at) const REQUIRES(TrackingLock::systemLock) {
    return list_.At(at);
  }

  // Checks the list's rules: linked both ways from the oldest to the newest in
  // time order (unsigned, never decreasing towards the newest); every entry
  // in the index and nothing else; one entry per oidRec as long as only
  // loads have added entries; the iteration cursor and the newest run's end
  // on live entries or null. Null when they hold,
  // else what broke. Walks the whole list: for tests and debugging.
  const char* CheckInvariants() const REQUIRES(TrackingLock::systemLock) {
    return list_.CheckInvariants();
  }

  // Read-only views of the log's state, in the log's own vocabulary.
  DWORD DataClass() const REQUIRES(TrackingLock::systemLock) { return dwLogType - kLogTypeOffset; }
  DWORD LogType() const REQUIRES(TrackingLock::systemLock) { return dwLogType; }
  CEOID LogDbOid() const REQUIRES(TrackingLock::systemLock) { return oidLogDb; }
  HANDLE LogDbHandle() const REQUIRES(TrackingLock::systemLock) { return hLogDb; }
  const ChangeEntry* OldestEntry() const REQUIRES(TrackingLock::systemLock) {
    return list_.OldestEntry();
  }
  const ChangeEntry* NewestEntry() const REQUIRES(TrackingLock::systemLock) {
    return list_.NewestEntry();
  }
  bool HasEntries() const REQUIRES(TrackingLock::systemLock) { return list_.HasEntries(); }
  // Where the iteration cursor stands and which way it walks.
  const ChangeEntry* CursorEntry() const REQUIRES(TrackingLock::systemLock) {
    return list_.CursorEntry();
  }
  bool WalksOldestFirst() const REQUIRES(TrackingLock::systemLock) {
    return list_.WalksOldestFirst();
  }
  // Whether the last load resolved duplicates (RewriteLog then rebuilds).
  bool NeedsRewrite() const REQUIRES(TrackingLock::systemLock) { return fRewrite != 0; }
  // Entries inserted since the last load began, the load's own included; a
  // removal does not lower it. Full width: a log may hold more than 65,535
  // records.
  DWORD EntriesInserted() const REQUIRES(TrackingLock::systemLock) {
    return list_.EntriesInserted();
  }
  // The free bytes last seen by HasFreeSpace. Until the first successful
  // query this is kUnknownFreeBytes, which counts as enough space: a log is
  // never trimmed on no information.
  uint64_t FreeBytes() const REQUIRES(TrackingLock::systemLock) { return qwFreeBytes; }
  static constexpr uint64_t kUnknownFreeBytes = UINT64_MAX;

 private:
  // What one read of the log database gave.
  enum class ReadResult { kRecord, kMalformed, kEnd, kError };
  enum class RewriteResult { kDone, kNotStarted, kWriteFailed };

  // Makes sure the database exists and trims it when the store runs short;
  // false (the class lost) when no database can be had.
  bool PrepareAppend() REQUIRES(TrackingLock::systemLock);
  // CreateLogDb for an append: when no database can be had the class is
  // lost and the answer is false.
  bool HaveDatabase() REQUIRES(TrackingLock::systemLock);
  // Whether the next append trims first: the database holds 100 records or
  // more (their true count then in *records) and the store has at most 3 MB
  // free.
  bool ShortOfSpace(DWORD* records) REQUIRES(TrackingLock::systemLock);
  void TrimOldest(DWORD numRecords) REQUIRES(TrackingLock::systemLock);
  bool TrimFromMirror(DWORD numRecords) REQUIRES(TrackingLock::systemLock);
  void TrimLoaded() REQUIRES(TrackingLock::systemLock);
  enum class InPlaceResult { kDone, kNotInPlace, kFailed };
  InPlaceResult DropUnlistedRecords() REQUIRES(TrackingLock::systemLock);
  bool DeleteRecordsInPlace(const std::vector<CEOID>& records) REQUIRES(TrackingLock::systemLock);
  DWORD TrueRecordCount(WORD numRecords) REQUIRES(TrackingLock::systemLock);
  bool LoadRecord(const CEFIRSTPROP& read) REQUIRES(TrackingLock::systemLock);
  ReadResult ReadNextRecord(BYTE record[kChangeRecordSize], CEOID* oid)
      REQUIRES(TrackingLock::systemLock);
  bool ResolveDuplicate(ChangeEntry* prior, const BYTE record[kChangeRecordSize], CEOID oidLogRec)
      REQUIRES(TrackingLock::systemLock);
  bool ReadAppendedRecords(std::vector<std::array<BYTE, kChangeRecordSize>>* records)
      REQUIRES(TrackingLock::systemLock);
  RewriteResult RewriteEntries() REQUIRES(TrackingLock::systemLock);
  void FormatName(WCHAR* name) const REQUIRES(TrackingLock::systemLock);

  // The loaded list; empty when no reader has loaded it.
  ChangeTimeList list_ GUARDED_BY(TrackingLock::systemLock);
  HANDLE hLogDb = INVALID_HANDLE_VALUE;
  CEOID oidLogDb = 0;
  DWORD fRewrite = 0;
  DWORD dwLogType = 0;
  uint64_t qwFreeBytes;
  SyncStateCache& syncStates_;
  // The number of records at the front of the database that the loaded list
  // stands for; records after them were appended since the load and are
  // kept by a rewrite. 0 when no list is loaded.
  DWORD cRecordsLoaded = 0;
  // The database's records as this log knows them (see the mirror's header).
  ChangeRecordMirror mirror_;
  // The database name given to OpenLog; empty: the class's log name.
  WCHAR szLogName[32] = {};
  // Set by OpenLog when it kept an existing log.
  DWORD fLogKept = 0;
};

#endif  // HOLLOWMARCH_TRACKING_CHANGE_LOG_H_
