// A position in the change list of one ChangeLog (tracking/change_log.h,
// its list in tracking/change_time_list.h): the list, the generation of the
// list it was taken in, how many entries the list had removed when it was
// taken, and an entry of that list or null (past the end).
//
// Only the list makes and moves cursors; a holder copies them, compares
// them and hands them back to the log or its list. The generation changes
// each time the list is released, so a cursor taken before a release is
// stale from then on, whether or not a list has been loaded since: the list
// answers it so (IsCurrent false, At null), and nobody outside it keeps a
// count of its own.
//
// Within one generation an entry may still be removed. A cursor is read
// through (At) only while the list has removed nothing since it gave it
// (IsIntact); after a removal it is still current and serves as a key (the
// local change handles never read through theirs). A reader that must go
// on across removals keeps what it passed rather than an address
// (tracking/change_reader.h).
//
// Lifetime: a cursor owns nothing and keeps nothing alive. The list it
// names must outlive every call that hands the cursor back; a tracked
// database's log, and its list, live as long as the system runs. Threads:
// as its log (systemLock).
#ifndef HOLLOWMARCH_TRACKING_CHANGE_CURSOR_H_
#define HOLLOWMARCH_TRACKING_CHANGE_CURSOR_H_

#include "platform/types.h"

class ChangeTimeList;
struct ChangeEntry;

class ChangeCursor {
 public:
  // A cursor of no list: stale to every list.
  ChangeCursor() = default;

  // The list it was taken from; null for a default cursor.
  const ChangeTimeList* list() const { return list_; }
  // The entry's address, to tell entries apart; never read through it.
  const void* key() const { return entry_; }
  // True when it stands past the end of its list (or names no list).
  bool AtEnd() const { return entry_ == nullptr; }

  friend bool operator==(const ChangeCursor& a, const ChangeCursor& b) {
    return a.list_ == b.list_ && a.generation_ == b.generation_ && a.removals_ == b.removals_ &&
           a.entry_ == b.entry_;
  }
  friend bool operator!=(const ChangeCursor& a, const ChangeCursor& b) { return !(a == b); }

 private:
  friend class ChangeTimeList;
  ChangeCursor(const ChangeTimeList* list, DWORD generation, DWORD removals, ChangeEntry* entry)
      : list_(list), generation_(generation), removals_(removals), entry_(entry) {}

  const ChangeTimeList* list_ = nullptr;
  DWORD generation_ = 0;
  DWORD removals_ = 0;
  ChangeEntry* entry_ = nullptr;
};

#endif  // HOLLOWMARCH_TRACKING_CHANGE_CURSOR_H_
