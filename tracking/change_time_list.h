// The in-memory list of a change log (tracking/change_log.h): its
// ChangeEntry linked in time order, the index that finds them by record,
// the one iteration cursor, the cursors it hands out
// (tracking/change_cursor.h) and the check of its rules. It knows nothing of
// the log database: the log loads records into it and rewrites records
// from it, so the list can be tested on its own.
//
// Ownership: the list owns its entries: each is a LocalAlloc block of its
// own or a place in one of the list's blocks (a load: one allocation for
// many entries); all go when the list is emptied or destroyed. Entry
// pointers it returns are good until the entry is removed or the list
// emptied.
//
// Positions: the iteration cursor of FirstNewest ... NextNewer (Insert,
// FindEntry and RemoveEntry move it too) and the end of the newest time run
// it inserts before, each on a live entry or null, moved by the list as
// entries go. Cursors handed out carry the list's generation (moved on by
// each emptying) and its count of removals, so that a holder can tell a
// cursor of a released list (IsCurrent) and one that may name a removed
// entry (IsIntact).
//
// Threads: none of its own; its log's (the log keeps it under systemLock).
#ifndef HOLLOWMARCH_TRACKING_CHANGE_TIME_LIST_H_
#define HOLLOWMARCH_TRACKING_CHANGE_TIME_LIST_H_

#include <cstddef>
#include <vector>

#include "platform/types.h"
#include "tracking/change_cursor.h"
#include "tracking/change_entry.h"
#include "tracking/change_entry_index.h"

class ChangeTimeList {
 public:
  ChangeTimeList() = default;
  // Releases every entry and block.
  ~ChangeTimeList();
  ChangeTimeList(const ChangeTimeList&) = delete;
  ChangeTimeList& operator=(const ChangeTimeList&) = delete;

  // How an entry's memory is had: a LocalAlloc block of its own, or a place
  // in one of the list's blocks (for the many entries of a load).
  enum class Allocation { kOwnBlock, kPooled };

  // Adds an entry in time order (an equal time goes older than the entries
  // that have it) and indexes it; `oidLogRec` is the log record it was
  // loaded from (0: none). Null, adding nothing, when no memory. Moves the
  // cursor (newest-first) to the entry just older than the new one.
  // Constant time when the time is not older than the newest entry's.
  ChangeEntry* Insert(BYTE bType, CEOID oidRec, DWORD dwTime, DWORD dwReserved, DWORD dwUid,
                      CEOID oidLogRec, Allocation allocation);
  // Insert with a block of its own and no log record, noting when the list
  // held that oidRec already (the list is then no longer one per record).
  bool InsertEntry(BYTE bType, CEOID oidRec, DWORD dwTime, DWORD dwReserved, DWORD dwUid);

  // Iteration over the one cursor of the list. Each returns the entry at the
  // cursor, null past the end; one more step then starts again at the start.
  ChangeEntry* FirstNewest();
  ChangeEntry* NextOlder();
  ChangeEntry* FirstOldest();
  ChangeEntry* NextNewer();
  // Sets the iteration back before the newest entry without reading it: the
  // next NextOlder gives the newest.
  void RewindNewestFirst();

  // The newest entry with that oidRec, or null. Leaves the cursor at the
  // result (null when none) in a newest-first walk.
  ChangeEntry* FindEntry(CEOID oidRec);

  // Unlinks and releases an entry of this list. The cursor moves so that a
  // walk can remove its current entry and step on; every cursor given
  // before stops being intact. False for null or when the release fails.
  bool RemoveEntry(const ChangeEntry* entry);

  // Releases every entry and block and empties the list; the generation
  // moves on, so every cursor given before is stale from now on. False
  // when a release failed (the walk goes on). The inserted count stays.
  bool FreeEntries();

  // For a load about to add about `count` entries: room in the index, so
  // that it does not grow step by step (only a hint).
  void Reserve(size_t count) { index_.Reserve(index_.size() + count); }
  // Asks the processor for where a look-up of that oidRec will read.
  void Prefetch(CEOID oidRec) const { index_.Prefetch(oidRec); }

  // Entries inserted since the last ResetInsertCount; a removal does not
  // lower it. Full width: a log may hold more than 65,535 records.
  DWORD EntriesInserted() const { return cEntries; }
  void ResetInsertCount() { cEntries = 0; }

  // Cursors. A cursor at the newest entry (past the end when the list is
  // empty), at the entry the iteration cursor stands on, and at the next
  // older entry of an intact cursor (past the end after the oldest; any
  // other cursor is given back as it is, and reads as nothing).
  ChangeCursor NewestCursor() const;
  ChangeCursor IterationCursor() const;
  ChangeCursor OlderCursor(const ChangeCursor& at) const;
  // True when `at` was taken from this list as it stands: the list has not
  // been emptied since. Entries may have been removed since.
  bool IsCurrent(const ChangeCursor& at) const {
    return at.list_ == this && at.generation_ == generation_;
  }
  // True when `at` is current and no entry has been removed since it was
  // taken, so that its entry is live.
  bool IsIntact(const ChangeCursor& at) const {
    return IsCurrent(at) && at.removals_ == removals_;
  }
  // The entry of an intact cursor; null past the end or for any other.
  const ChangeEntry* At(const ChangeCursor& at) const {
    return IsIntact(at) ? at.entry_ : nullptr;
  }

  // Checks the list's rules: linked both ways from the oldest to the newest
  // in time order (unsigned, never decreasing towards the newest); every
  // entry in the index and nothing else; one entry per oidRec as long as
  // only loads have added entries; the iteration cursor and the newest
  // run's end on live entries or null. Null when they hold, else what
  // broke. Walks the whole list: for tests and debugging.
  const char* CheckInvariants() const;

  const ChangeEntry* OldestEntry() const { return pOldest; }
  const ChangeEntry* NewestEntry() const { return pNewest; }
  bool HasEntries() const { return pNewest != nullptr; }
  // Where the iteration cursor stands and which way it walks.
  const ChangeEntry* CursorEntry() const { return pCursor; }
  bool WalksOldestFirst() const { return fOldestFirst != 0; }

 private:
  ChangeEntry* Link(ChangeEntry* entry);
  ChangeEntry* AllocatePooled();
  // Gives an unlinked entry's memory back; false when the release failed.
  bool Release(ChangeEntry* entry);
  void ReleaseEntryBlocks();

  DWORD fOldestFirst = 0;
  ChangeEntry* pOldest = nullptr;
  ChangeEntry* pCursor = nullptr;
  ChangeEntry* pNewest = nullptr;
  DWORD cEntries = 0;
  // How many times the list has been emptied; a cursor of another
  // generation is stale.
  DWORD generation_ = 0;
  // How many entries have been removed; a cursor of another count is no
  // longer intact. Wraps after 2^32 removals, which one lifetime of a
  // reader's position never sees.
  DWORD removals_ = 0;
  // False once InsertEntry added an entry whose oidRec the list held
  // already; true again when the list is emptied.
  bool fOnePerRecord = true;
  // Finds entries by oidRec without walking the list.
  ChangeEntryIndex index_;
  // The blocks pooled entries live in, each of kEntriesPerBlock entries
  // (LocalAlloc blocks); the last one is used up to blockUsed_. Pooled
  // entries removed from the list wait in freePooled_ (linked by pOlder) to
  // be used again; every block goes when the list is emptied.
  static constexpr size_t kEntriesPerBlock = 1024;
  std::vector<ChangeEntry*> entryBlocks_;
  size_t blockUsed_ = kEntriesPerBlock;
  ChangeEntry* freePooled_ = nullptr;
  // The oldest entry of the run that shares pNewest's time, so that an equal
  // time goes older than all of them without a walk; null when not known.
  ChangeEntry* pNewestRunOldest = nullptr;
};

#endif  // HOLLOWMARCH_TRACKING_CHANGE_TIME_LIST_H_
