#include "server/change_stream.h"

#include "server/message_buffer.h"
#include "server/protocol.h"
#include "server/sync_session.h"
#include "tracking/change_entry.h"
#include "tracking/change_reader.h"
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

}  // namespace

void NoteStreamLists(SyncSession& session, TrackingState& tracking) {
  session.changes.NoteLists(tracking, session.dwClass);
}

int StreamChanges(SyncSession& session, MessageBuffer& reply,
                  TrackingState& tracking) {
  if (session.fStreamStart) {
    session.changes.Start(tracking, session.dwClass);
    session.fStreamStart = 0;
  } else if (session.fStreamDone) {
    return 0;
  }

  BYTE* out = reply.Room(kChangeFrameMaxBytes);
  DWORD length = kChangeFrameHeaderBytes;
  bool last = false;
  while (length + kChangeRecordBytes <= kChangeFrameMaxBytes) {
    const ChangeEntry* entry = session.changes.Next(tracking, session.dwSinceTime);
    if (entry == nullptr) {
      last = true;
      break;
    }
    PutChangeRecord(out + length, *entry, session.changes.DatabaseOid());
    length += kChangeRecordBytes;
  }

  if (!last) {
    out[0] = MSG_CHANGES;
    out[3] = TAG_HISTORY;
  } else {
    out[0] = MSG_CHANGES_LAST;
    out[3] = TAG_INFO;
    session.fStreamDone = 1;
    session.changes.Stop();
  }
  PutBe16(out + 1, static_cast<WORD>(length));
  PutBe16(out + 4, static_cast<WORD>(length - kFrameHeaderBytes));
  reply.Add(length);
  return 1;
}
