#include "server/change_stream.h"

#include "server/protocol.h"
#include "server/sync_server.h"
#include "server/sync_session.h"

// Until the change logs are read, every stream is one empty last frame.
int StreamChanges(SyncSession& session, SyncServer& server,
                  TrackingContext& tracking) {
  server.cbData = 0;
  if (session.fStreamStart) {
    session.fStreamStart = 0;
  } else if (session.fStreamDone) {
    return 0;
  }
  BYTE* out = server.pbBuffer;
  out[0] = MSG_CHANGES_LAST;
  PutBe16(out + 1, 6);
  out[3] = TAG_INFO;
  PutBe16(out + 4, 3);
  session.fStreamDone = 1;
  server.cbData = 6;
  return 1;
}
