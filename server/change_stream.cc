#include "server/change_stream.h"

#include <algorithm>
#include <vector>

#include "server/message_buffer.h"
#include "server/protocol.h"
#include "server/sync_session.h"
#include "tracking/change_log.h"
#include "tracking/tracked_db.h"
#include "tracking/tracking_state.h"

namespace {

void PutChangeRecord(BYTE* out, const ChangeEntry& entry, CEOID oidDb) {
  out[0] = entry.bType;
  PutBe32(out + 1, entry.dwTime);
  PutBe32(out + 5, entry.dwReserved);
  PutBe32(out + 9, entry.dwUid);
  PutBe32(out + 13, oidDb);
  PutBe32(out + 17, entry.oidRec);
}

// Keeps the position in the node's log, where removals keep it valid.
void StorePosition(TrackedDb* node, const ChangeCursor& next) {
  if (node != nullptr && node->pLog != nullptr) node->pLog->SetStreamPosition(next);
}

// Loads the node's list again when the window thread released it since the
// change query loaded it (and nobody loaded it since). True when it did.
bool ReloadIfReleased(ChangeStreamResume& resume, TrackedDb* node) {
  ChangeLog* log = node->pLog;
  for (ChangeStreamResume::NodeList& noted : resume.nodes) {
    if (noted.node != node) continue;
    if (log->IsCurrent(noted.seen)) return false;
    if (!log->HasEntries()) log->LoadLog();
    noted.seen = log->NewestCursor();
    return true;
  }
  return false;
}

// Starts reading a node: its newest entry, nothing passed yet.
ChangeCursor EnterNode(ChangeStreamResume& resume, TrackedDb* node) {
  resume.fPassed = false;
  resume.fSkipPassed = false;
  resume.tieOids.clear();
  if (node->pLog == nullptr) return ChangeCursor();
  ReloadIfReleased(resume, node);
  return node->pLog->NewestCursor();
}

// True when the entry is one the stream passed before its list was loaded
// again: newer than the last time passed, or of that time and noted.
bool PassedBeforeReload(const ChangeStreamResume& resume, const ChangeEntry& e) {
  if (!resume.fPassed) return false;
  if (e.dwTime != resume.dwLastTime) return e.dwTime > resume.dwLastTime;
  return std::binary_search(resume.tieOids.begin(), resume.tieOids.end(), e.oidRec);
}

// After a reload: the newest entry not passed. A rewrite of the database may
// have put the entries of one time in another order, so until the walk gets
// past that time, each such entry is looked up among those passed.
ChangeCursor FindPlaceAgain(ChangeStreamResume& resume, const ChangeLog& log) {
  std::sort(resume.tieOids.begin(), resume.tieOids.end());
  resume.fSkipPassed = resume.fPassed;
  ChangeCursor at = log.NewestCursor();
  for (const ChangeEntry* e = log.At(at); e != nullptr && PassedBeforeReload(resume, *e);
       e = log.At(at)) {
    at = log.OlderCursor(at);
  }
  return at;
}

void NotePassed(ChangeStreamResume& resume, const ChangeEntry& entry) {
  if (!resume.fPassed || entry.dwTime != resume.dwLastTime) {
    resume.fPassed = true;
    resume.fSkipPassed = false;
    resume.dwLastTime = entry.dwTime;
    resume.tieOids.clear();
  }
  if (resume.fSkipPassed) {
    // Kept sorted while entries passed before the reload are looked up.
    resume.tieOids.insert(
        std::lower_bound(resume.tieOids.begin(), resume.tieOids.end(), entry.oidRec),
        entry.oidRec);
  } else {
    resume.tieOids.push_back(entry.oidRec);
  }
}

}  // namespace

void NoteStreamLists(SyncSession& session, TrackingState& tracking) {
  ChangeStreamResume& resume = session.streamResume;
  resume.nodes.clear();
  TrackedDbList& table = tracking.trackedDbs;
  for (TrackedDb* node = table.FirstTrackedOfClass(session.dwClass); node != nullptr;
       node = table.NextTrackedOfClass(node)) {
    if (node->pLog != nullptr) resume.nodes.push_back({node, node->pLog->NewestCursor()});
  }
}

int StreamChanges(SyncSession& session, MessageBuffer& reply,
                  TrackingState& tracking) {
  TrackedDbList& table = tracking.trackedDbs;
  ChangeStreamResume& resume = session.streamResume;
  // The position between frames is kept by the node's log alone.
  ChangeCursor next;
  if (session.fStreamStart) {
    session.pStreamDb = table.FirstTrackedOfClass(session.dwClass);
    if (session.pStreamDb != nullptr) next = EnterNode(resume, session.pStreamDb);
    session.fStreamStart = 0;
  } else if (session.fStreamDone) {
    return 0;
  } else if (session.pStreamDb != nullptr && session.pStreamDb->pLog != nullptr) {
    // Between frames the window thread may have removed the entry we stopped
    // at (the log has moved the position on past it) or released the whole
    // list (it is loaded again and read on after what was passed).
    ChangeLog* log = session.pStreamDb->pLog;
    next = ReloadIfReleased(resume, session.pStreamDb) ? FindPlaceAgain(resume, *log)
                                                       : log->StreamPosition();
  }

  BYTE* out = reply.Room(kChangeFrameMaxBytes);
  DWORD length = kChangeFrameHeaderBytes;
  for (;;) {
    if (session.pStreamDb == nullptr) break;
    const ChangeLog* log = session.pStreamDb->pLog;
    const ChangeEntry* at = log != nullptr ? log->At(next) : nullptr;
    if (at == nullptr) {
      // This node is exhausted: on to the class's next node with entries.
      session.pStreamDb = table.NextTrackedOfClass(session.pStreamDb);
      if (session.pStreamDb != nullptr) next = EnterNode(resume, session.pStreamDb);
      continue;
    }
    const ChangeEntry& entry = *at;
    next = log->OlderCursor(next);
    if (resume.fSkipPassed && PassedBeforeReload(resume, entry)) {
      continue;  // sent before the list was reloaded
    }
    // Older entries are passed over; the walk goes on to the end of the log.
    if (entry.dwTime >= session.dwSinceTime) {
      PutChangeRecord(out + length, entry, session.pStreamDb->oidDb);
      length += kChangeRecordBytes;
    }
    NotePassed(resume, entry);
    if (length + kChangeRecordBytes > kChangeFrameMaxBytes) break;
  }
  StorePosition(session.pStreamDb, next);

  if (session.pStreamDb != nullptr) {
    out[0] = MSG_CHANGES;
    out[3] = TAG_HISTORY;
  } else {
    out[0] = MSG_CHANGES_LAST;
    out[3] = TAG_INFO;
    session.fStreamDone = 1;
  }
  PutBe16(out + 1, static_cast<WORD>(length));
  PutBe16(out + 4, static_cast<WORD>(length - kFrameHeaderBytes));
  reply.Add(length);
  return 1;
}
