// The database handles that the open-database command handed to the peer
// and that the peer has not closed since.
//
// The server's own tracked databases and change logs are open in the same
// process, so a handle that the peer merely names could be one of theirs;
// closing or moving it would silently stop change tracking. The remote
// database commands therefore act only on handles found here; any other
// handle is treated as an invalid one.
//
// Threads: the server's worker, with systemLock held (the session owns it).
#ifndef HOLLOWMARCH_SERVER_REMOTE_DB_HANDLES_H_
#define HOLLOWMARCH_SERVER_REMOTE_DB_HANDLES_H_

#include <algorithm>
#include <vector>

#include "platform/types.h"

class RemoteDbHandles {
 public:
  // Records a handle that was handed to the peer. Invalid handles are not
  // recorded.
  void Add(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE || handle == 0 || Contains(handle)) return;
    handles_.push_back(handle);
  }
  bool Contains(HANDLE handle) const {
    return std::find(handles_.begin(), handles_.end(), handle) != handles_.end();
  }
  // Forgets a handle; false when it was not recorded.
  bool Remove(HANDLE handle) {
    auto it = std::find(handles_.begin(), handles_.end(), handle);
    if (it == handles_.end()) return false;
    handles_.erase(it);
    return true;
  }
  size_t size() const { return handles_.size(); }

 private:
  std::vector<HANDLE> handles_;
};

#endif  // HOLLOWMARCH_SERVER_REMOTE_DB_HANDLES_H_
