// Commands (first byte 0x82): capture control, flushing and enabling of
// change tracking per class, forgetting one change, alarms and remote
// database access. Served only in SessionStateOpen.
//
// Threads: the server's worker, with systemLock held.
#ifndef HOLLOWMARCH_SERVER_COMMANDS_H_
#define HOLLOWMARCH_SERVER_COMMANDS_H_

#include "platform/types.h"
#include "server/system_lock.h"

struct SyncSession;
struct TrackingContext;
class SyncServer;

// Reads the command from `payload` (the frame's payload, `cbPayload` bytes,
// never read past), carries it out and records what the reply must hold in
// the session. Returns STATUS_OK, STATUS_BAD_REQUEST or STATUS_REFUSED.
BYTE HandleCommand(SyncSession& session, TrackingContext& tracking,
                   const BYTE* payload, DWORD cbPayload) REQUIRES(systemLock);

// Writes the reply for `status` into server.pbBuffer and its length into
// server.cbData; non-zero.
int ReplyCommand(SyncSession& session, SyncServer& server,
                 TrackingContext& tracking, BYTE status) REQUIRES(systemLock);

#endif  // HOLLOWMARCH_SERVER_COMMANDS_H_
