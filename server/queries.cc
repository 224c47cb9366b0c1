#include "server/queries.h"

#include "server/protocol.h"
#include "server/sync_server.h"
#include "server/sync_session.h"

// Until the queries are served, every query is refused outside an open
// session and answered as malformed inside one.
BYTE HandleQuery(SyncSession& session, TrackingContext& tracking,
                 const BYTE* payload, DWORD cbPayload) {
  session.bLastOp = OP_NONE;
  if (session.dwState != SessionStateOpen) return STATUS_REFUSED;
  return STATUS_BAD_REQUEST;
}

int ReplyQuery(SyncSession& session, SyncServer& server,
               TrackingContext& tracking, BYTE status) {
  server.cbData = static_cast<int32_t>(PutStatusReply(server.pbBuffer, status));
  return 1;
}
