// Queries (first byte 0x83): the sync state of a class, the changes of a
// class since a time (which starts a change stream), the time zone and the
// free space of a volume. Served only in SessionStateOpen.
//
// Threads: the server's worker, with systemLock held.
#ifndef HOLLOWMARCH_SERVER_QUERIES_H_
#define HOLLOWMARCH_SERVER_QUERIES_H_

#include "platform/types.h"
#include "server/system_lock.h"

struct SyncSession;
struct TrackingContext;
class SyncServer;

// Reads the query from `payload` (the frame's payload, `cbPayload` bytes,
// never read past) and records what the reply must hold in the session.
// Returns STATUS_OK, STATUS_BAD_REQUEST or STATUS_REFUSED.
BYTE HandleQuery(SyncSession& session, TrackingContext& tracking,
                 const BYTE* payload, DWORD cbPayload) REQUIRES(systemLock);

// Writes the reply for `status` into server.pbBuffer and its length into
// server.cbData; non-zero when it is to be sent. The change query sends its
// acknowledgement itself with server.SendFromHandler and then returns what
// StreamChanges returns.
int ReplyQuery(SyncSession& session, SyncServer& server,
               TrackingContext& tracking, BYTE status) REQUIRES(systemLock);

#endif  // HOLLOWMARCH_SERVER_QUERIES_H_
