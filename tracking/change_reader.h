// A reader of one data class's recorded changes: every tracked database of
// the class in table order, each one's change list newest first, entries
// older than the caller's time passed over. It owns its position, so that
// the change stream (server/change_stream.h) and the local change-list walk
// (shell/change_list_interface.h) read the same way and neither moves the
// other's place, nor the log's own iteration cursor.
//
// The lists change between two steps: the window thread purges, trims,
// ends a local walk; the peer forgets a change, flushes. The position is the
// database node (never removed while the system runs), a cursor of its list
// and what the reader has passed in it: the time of the last entry passed
// and the record oids passed with that time. While the log has removed
// nothing since the last step (ChangeLog::IsIntact) the cursor is read on;
// after a removal, or a release of the whole list, the reader finds its
// place again in the list as it stands by what it passed (the list runs
// newest first in time order), so that no removed entry is read, no entry
// is returned twice and every entry that stays after the position is
// returned. A rewrite of the database may put the entries of one time in
// another order, so until the walk gets past that time each such entry is
// looked up among the oids passed.
//
// A list released under the reader is loaded again from its database when
// nobody has loaded it since and the reader noted it (NoteLists, which the
// change stream calls right after the change query loaded the class's
// lists), so the changes not yet read still come. A list the reader did not
// note (a local walk notes none) is read as it is loaded: when nobody loaded
// it again, it has nothing left.
//
// An entry added to a list during a walk is returned only when it lands
// among the entries the reader has yet to read; appending a change never
// touches a loaded list.
//
// Threads: every call with systemLock held (tracking/tracking_state.h). The
// reader keeps the node it is on; the state that owns the node must outlive
// the reader's use of it (Stop forgets it).
#ifndef HOLLOWMARCH_TRACKING_CHANGE_READER_H_
#define HOLLOWMARCH_TRACKING_CHANGE_READER_H_

#include <vector>

#include "platform/types.h"
#include "tracking/change_cursor.h"
#include "tracking/tracking_state.h"

struct ChangeEntry;
struct TrackedDb;

class ChangeReader {
 public:
  ChangeReader() = default;
  ChangeReader(const ChangeReader&) = delete;
  ChangeReader& operator=(const ChangeReader&) = delete;

  // Notes a cursor of every change list of `dataClass` as they stand, right
  // after they were loaded, so that a later step can tell a list released
  // since. Leaves the position alone.
  void NoteLists(TrackingState& tracking, DWORD dataClass) REQUIRES(TrackingState::systemLock);

  // Places the reader before the newest entry of the class's first tracked
  // database (at the end when the class has none).
  void Start(TrackingState& tracking, DWORD dataClass) REQUIRES(TrackingState::systemLock);

  // The next entry not older than `since` (unsigned), or null when every
  // database of the class is read: the reader is then at the end, and the
  // step after that starts again as Start does. Null, staying so, for a
  // reader never started or stopped. The entry is good until the list next
  // changes.
  const ChangeEntry* Next(TrackingState& tracking, DWORD since)
      REQUIRES(TrackingState::systemLock);

  // Of the entry Next last returned: the oid of the database that holds it,
  // and a cursor at it (a key for as long as its list stays loaded).
  CEOID DatabaseOid() const { return currentDb_; }
  ChangeCursor Current() const { return current_; }

  // Forgets the position and the noted lists: Next gives null until Start.
  void Stop();

  // True between Start and the end of the last database.
  bool Reading() const REQUIRES(TrackingState::systemLock) { return node_ != nullptr; }

 private:
  struct NotedList {
    const TrackedDb* node PT_GUARDED_BY(TrackingState::systemLock);
    ChangeCursor seen;  // of the node's list when last seen loaded
  };

  void EnterNode(TrackedDb* node) REQUIRES(TrackingState::systemLock);
  bool LoadIfReleased(TrackedDb* node) REQUIRES(TrackingState::systemLock);
  ChangeCursor FindPlaceAgain() REQUIRES(TrackingState::systemLock);
  bool PassedBefore(const ChangeEntry& e) const;
  void NotePassed(const ChangeEntry& e);

  // Set by Start, cleared by Stop: the class whose databases are read.
  bool started_ = false;
  DWORD dataClass_ = 0;
  // The database being read; null when not started or at the end.
  TrackedDb* node_ PT_GUARDED_BY(TrackingState::systemLock) = nullptr;
  // The next entry to look at in node_'s list; the entry last returned and
  // its database.
  ChangeCursor next_;
  ChangeCursor current_;
  CEOID currentDb_ = 0;
  std::vector<NotedList> noted_;
  // In node_'s list: whether an entry has been passed (returned or passed
  // over as too old), the time of the last one, and the oids passed with
  // that time.
  bool fPassed = false;
  DWORD dwLastTime = 0;
  std::vector<CEOID> tieOids;
  // Set after the reader found its place again while the walk is still among
  // entries of dwLastTime: each of them is looked up in tieOids (then kept
  // sorted) and passed over when it was passed before.
  bool fSkipPassed = false;
};

#endif  // HOLLOWMARCH_TRACKING_CHANGE_READER_H_
