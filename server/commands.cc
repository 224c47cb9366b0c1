#include "server/commands.h"

#include "server/protocol.h"
#include "server/sync_server.h"
#include "server/sync_session.h"

// Until the commands are served, every command is refused outside an open
// session and answered as malformed inside one.
BYTE HandleCommand(SyncSession& session, TrackingContext& tracking,
                   const BYTE* payload, DWORD cbPayload) {
  session.bLastOp = OP_NONE;
  if (session.dwState != SessionStateOpen) return STATUS_REFUSED;
  return STATUS_BAD_REQUEST;
}

int ReplyCommand(SyncSession& session, SyncServer& server,
                 TrackingContext& tracking, BYTE status) {
  server.cbData = static_cast<int32_t>(PutStatusReply(server.pbBuffer, status));
  return 1;
}
