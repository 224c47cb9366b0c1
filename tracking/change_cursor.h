// A position in the change list of one ChangeLog (tracking/change_log.h):
// the log, the generation of the list it was taken in, how many entries the
// log had removed when it was taken, and an entry of that list or null (past
// the end).
//
// Only the log makes and moves cursors; a holder copies them, compares them
// and hands them back to the log. The generation changes each time the log
// releases its list, so a cursor taken before a release is stale from then
// on, whether or not a list has been loaded since: the log answers it so
// (ChangeLog::IsCurrent false, ChangeLog::At null), and nobody outside the
// log keeps a count of its own.
//
// Within one generation an entry may still be removed. A cursor is read
// through (ChangeLog::At) only while the log has removed nothing since it
// gave it (ChangeLog::IsIntact); after a removal it is still current and
// serves as a key (the local change handles never read through theirs).
// A reader that must go on across removals keeps what it passed rather
// than an address (tracking/change_reader.h).
//
// Lifetime: a cursor owns nothing and keeps nothing alive. The log it names
// must outlive every call that hands the cursor back; a tracked database's
// log lives as long as the system runs. Threads: as its log (systemLock).
#ifndef HOLLOWMARCH_TRACKING_CHANGE_CURSOR_H_
#define HOLLOWMARCH_TRACKING_CHANGE_CURSOR_H_

#include "platform/types.h"

class ChangeLog;
struct ChangeEntry;

class ChangeCursor {
 public:
  // A cursor of no log: stale to every log.
  ChangeCursor() = default;

  // The log it was taken from; null for a default cursor.
  const ChangeLog* log() const { return log_; }
  // The entry's address, to tell entries apart; never read through it.
  const void* key() const { return entry_; }
  // True when it stands past the end of its list (or names no log).
  bool AtEnd() const { return entry_ == nullptr; }

  friend bool operator==(const ChangeCursor& a, const ChangeCursor& b) {
    return a.log_ == b.log_ && a.generation_ == b.generation_ && a.removals_ == b.removals_ &&
           a.entry_ == b.entry_;
  }
  friend bool operator!=(const ChangeCursor& a, const ChangeCursor& b) { return !(a == b); }

 private:
  friend class ChangeLog;
  ChangeCursor(const ChangeLog* log, DWORD generation, DWORD removals, ChangeEntry* entry)
      : log_(log), generation_(generation), removals_(removals), entry_(entry) {}

  const ChangeLog* log_ = nullptr;
  DWORD generation_ = 0;
  DWORD removals_ = 0;
  ChangeEntry* entry_ = nullptr;
};

#endif  // HOLLOWMARCH_TRACKING_CHANGE_CURSOR_H_
