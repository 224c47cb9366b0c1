#include "server/change_stream.h"

#include "server/protocol.h"
#include "server/sync_server.h"
#include "server/sync_session.h"
#include "tracking/change_log.h"
#include "tracking/tracked_db.h"
#include "tracking/tracking_context.h"

namespace {

void PutChangeRecord(BYTE* out, const ChangeEntry& entry, CEOID oidDb) {
  out[0] = entry.bType;
  PutBe32(out + 1, entry.dwTime);
  PutBe32(out + 5, entry.dwReserved);
  PutBe32(out + 9, entry.dwUid);
  PutBe32(out + 13, oidDb);
  PutBe32(out + 17, entry.oidRec);
}

// The newest entry of a node's list, or null (also for a node without a
// log). Read from the list's end, not through its shared cursor, which
// other walks use.
ChangeEntry* NewestOf(const TrackedDb* node) {
  return node->pLog != nullptr ? node->pLog->pNewest : nullptr;
}

// Keeps the position in the node's log, where removals keep it valid.
void StorePosition(TrackedDb* node, ChangeEntry* next) {
  if (node != nullptr && node->pLog != nullptr) node->pLog->pStreamNext = next;
}

}  // namespace

int StreamChanges(SyncSession& session, SyncServer& server,
                  TrackingContext& tracking) {
  server.cbData = 0;
  TrackedDbList* table = tracking.trackedDbs;
  if (session.fStreamStart) {
    session.pStreamEntry = nullptr;
    session.pStreamDb =
        table != nullptr ? table->FirstTrackedOfClass(session.dwClass) : nullptr;
    if (session.pStreamDb != nullptr) session.pStreamEntry = NewestOf(session.pStreamDb);
    session.fStreamStart = 0;
  } else if (session.fStreamDone) {
    return 0;
  } else if (session.pStreamDb != nullptr) {
    // The window thread may have removed the entry we stopped at; the log
    // has moved the position on past anything it removed.
    session.pStreamEntry = session.pStreamDb->pLog != nullptr
                               ? session.pStreamDb->pLog->pStreamNext
                               : nullptr;
  }

  BYTE* out = server.pbBuffer;
  DWORD length = kChangeFrameHeaderBytes;
  for (;;) {
    if (session.pStreamDb == nullptr) break;
    if (session.pStreamEntry == nullptr) {
      // This node is exhausted: on to the class's next node with entries.
      session.pStreamDb = table->NextTrackedOfClass(session.pStreamDb);
      if (session.pStreamDb != nullptr) session.pStreamEntry = NewestOf(session.pStreamDb);
      continue;
    }
    const ChangeEntry& entry = *session.pStreamEntry;
    // Older entries are passed over; the walk goes on to the end of the log.
    if (entry.dwTime >= session.dwSinceTime) {
      PutChangeRecord(out + length, entry, session.pStreamDb->oidDb);
      length += kChangeRecordBytes;
    }
    session.pStreamEntry = entry.pOlder;
    if (length + kChangeRecordBytes > server.cbBuffer) break;
  }
  StorePosition(session.pStreamDb, session.pStreamEntry);

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
  server.cbData = static_cast<int32_t>(length);
  return 1;
}
