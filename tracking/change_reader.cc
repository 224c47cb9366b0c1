#include "tracking/change_reader.h"

#include <algorithm>

#include "tracking/change_log.h"
#include "tracking/tracked_db.h"

void ChangeReader::NoteLists(TrackingState& tracking, DWORD dataClass) {
  noted_.clear();
  const TrackedDbList& table = tracking.trackedDbs;
  for (const TrackedDb* node = table.FirstTrackedOfClass(dataClass); node != nullptr;
       node = table.NextTrackedOfClass(node)) {
    if (node->pLog != nullptr) noted_.push_back({node, node->pLog->NewestCursor()});
  }
}

void ChangeReader::Start(TrackingState& tracking, DWORD dataClass) {
  started_ = true;
  dataClass_ = dataClass;
  current_ = ChangeCursor();
  currentDb_ = 0;
  node_ = nullptr;
  if (TrackedDb* first = tracking.trackedDbs.FirstTrackedOfClass(dataClass)) EnterNode(first);
}

void ChangeReader::Stop() {
  started_ = false;
  node_ = nullptr;
  next_ = ChangeCursor();
  current_ = ChangeCursor();
  currentDb_ = 0;
  noted_.clear();
  fPassed = false;
  fSkipPassed = false;
  tieOids.clear();
}

// Loads the node's list again when it was released since it was noted (and
// nobody loaded it since). True when it was released.
bool ChangeReader::LoadIfReleased(TrackedDb* node) {
  ChangeLog* log = node->pLog;
  for (NotedList& noted : noted_) {
    if (noted.node != node) continue;
    if (log->IsCurrent(noted.seen)) return false;
    if (!log->HasEntries()) log->LoadLog();
    noted.seen = log->NewestCursor();
    return true;
  }
  return false;
}

void ChangeReader::EnterNode(TrackedDb* node) {
  node_ = node;
  fPassed = false;
  fSkipPassed = false;
  tieOids.clear();
  next_ = ChangeCursor();
  if (node->pLog == nullptr) return;
  LoadIfReleased(node);
  next_ = node->pLog->NewestCursor();
}

bool ChangeReader::PassedBefore(const ChangeEntry& e) const {
  if (!fPassed) return false;
  if (e.dwTime != dwLastTime) return e.dwTime > dwLastTime;
  return std::binary_search(tieOids.begin(), tieOids.end(), e.oidRec);
}

// The newest entry of node_'s list not passed: every entry newer than the
// last time passed was passed, and of that time those noted.
ChangeCursor ChangeReader::FindPlaceAgain() {
  const ChangeLog& log = *node_->pLog;
  std::sort(tieOids.begin(), tieOids.end());
  fSkipPassed = fPassed;
  ChangeCursor at = log.NewestCursor();
  for (const ChangeEntry* e = log.At(at); e != nullptr && PassedBefore(*e); e = log.At(at)) {
    at = log.OlderCursor(at);
  }
  return at;
}

void ChangeReader::NotePassed(const ChangeEntry& e) {
  if (!fPassed || e.dwTime != dwLastTime) {
    fPassed = true;
    fSkipPassed = false;
    dwLastTime = e.dwTime;
    tieOids.clear();
  }
  if (fSkipPassed) {
    // Kept sorted while entries passed before are looked up.
    tieOids.insert(std::lower_bound(tieOids.begin(), tieOids.end(), e.oidRec), e.oidRec);
  } else {
    tieOids.push_back(e.oidRec);
  }
}

const ChangeEntry* ChangeReader::Next(TrackingState& tracking, DWORD since) {
  if (!started_) return nullptr;
  if (node_ == nullptr) {
    // At the end: this step starts again at the newest change.
    Start(tracking, dataClass_);
  } else if (node_->pLog != nullptr && !node_->pLog->IsIntact(next_)) {
    // Since the last step the log removed entries (next_ may be one of them)
    // or released its list: the place is found again by what was passed.
    if (!node_->pLog->IsCurrent(next_)) LoadIfReleased(node_);
    next_ = FindPlaceAgain();
  }
  for (;;) {
    if (node_ == nullptr) {
      current_ = ChangeCursor();
      currentDb_ = 0;
      return nullptr;
    }
    const ChangeLog* log = node_->pLog;
    const ChangeEntry* e = log != nullptr ? log->At(next_) : nullptr;
    if (e == nullptr) {
      // This database is read: on to the class's next one.
      TrackedDb* after = tracking.trackedDbs.NextTrackedOfClass(node_);
      if (after != nullptr) {
        EnterNode(after);
      } else {
        node_ = nullptr;
      }
      continue;
    }
    const ChangeCursor at = next_;
    next_ = log->OlderCursor(next_);
    if (fSkipPassed && PassedBefore(*e)) continue;  // passed before the place was lost
    NotePassed(*e);
    if (e->dwTime < since) continue;
    current_ = at;
    currentDb_ = node_->oidDb;
    return e;
  }
}
