// What the change stream keeps so that it can pick up its place again when
// the window thread releases a change list it is reading: a local reader
// that ends its walk, or a trim, releases the class's list between two
// frames, although the changes not yet sent are still in the log database.
//
// The change query notes a cursor of each node's list once it has loaded
// the lists. Before the stream reads a node it asks the node's log whether
// that cursor is still current: a list released since is loaded again, and the stream goes on after the entries it has already
// passed, which it knows by time (the list runs newest first) and, among
// entries of the last time passed, by record oid.
//
// Threads: the server's worker, with systemLock held (the session owns it).
#ifndef HOLLOWMARCH_SERVER_CHANGE_STREAM_RESUME_H_
#define HOLLOWMARCH_SERVER_CHANGE_STREAM_RESUME_H_

#include <vector>

#include "platform/types.h"
#include "tracking/change_cursor.h"

struct TrackedDb;

struct ChangeStreamResume {
  struct NodeList {
    TrackedDb* node;
    ChangeCursor seen;  // of the node's list when last seen loaded
  };
  // Every node of the stream's class, as the change query left them.
  std::vector<NodeList> nodes;
  // In the node being read: whether an entry has been passed (sent or left
  // out as too old), the time of the last one, and the oids of the entries
  // passed with that time.
  bool fPassed = false;
  DWORD dwLastTime = 0;
  std::vector<CEOID> tieOids;
  // Set after a reload while the walk is still among entries of dwLastTime:
  // each of them is looked up in tieOids (then kept sorted) and skipped when
  // it was passed before the reload.
  bool fSkipPassed = false;
};

#endif  // HOLLOWMARCH_SERVER_CHANGE_STREAM_RESUME_H_
