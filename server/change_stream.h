// The change stream: the recorded changes of the selected class from the
// peer's time on, one frame per acknowledgement of the peer.
//
// Threads: the server's worker, with systemLock held.
#ifndef HOLLOWMARCH_SERVER_CHANGE_STREAM_H_
#define HOLLOWMARCH_SERVER_CHANGE_STREAM_H_

#include "platform/types.h"
#include "server/system_lock.h"

struct SyncSession;
struct TrackingContext;
class SyncServer;

// Builds the next change frame in server.pbBuffer, its length in
// server.cbData, and returns non-zero; returns zero, writing nothing, when
// the stream is done and no new one was started.
int StreamChanges(SyncSession& session, SyncServer& server,
                  TrackingContext& tracking) REQUIRES(systemLock);

#endif  // HOLLOWMARCH_SERVER_CHANGE_STREAM_H_
