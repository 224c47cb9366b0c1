// The two messages that open and close a session, hello and end of
// session, and the end of a connection.
//
// Threads: the server's worker with systemLock (tracking/tracking_state.h) held,
// one message at a time; tests and the fuzzer take the lock the same way.
// The capture flags are atomic and shared with the window thread.
#ifndef HOLLOWMARCH_SERVER_SESSION_MESSAGES_H_
#define HOLLOWMARCH_SERVER_SESSION_MESSAGES_H_

#include "platform/types.h"
#include "tracking/tracking_state.h"

struct SyncSession;
class MessageBuffer;

// Hello: `payload` is the frame's payload (byte 3 on), `cbPayload` its
// length. Returns STATUS_OK (state Open, both capture flags cleared),
// STATUS_BAD_REQUEST (version other than 0x10, buffer size under 2048, or a
// payload shorter than the 4-byte prefix) or STATUS_REFUSED (no "F" item,
// or one that does not begin with the identification). A refused hello
// changes nothing.
BYTE HandleHello(SyncSession& session, TrackingState& tracking,
                 const BYTE* payload, DWORD cbPayload);
// Appends the 11-byte hello reply with `status` to `reply`; non-zero.
int ReplyHello(SyncSession& session, MessageBuffer& reply, BYTE status);

// End of session: state Shutdown when the payload starts with an "I" item
// whose first payload byte is non-zero, else Ended (Shutdown stays); clears
// both capture flags. Always STATUS_OK.
BYTE HandleEndSession(SyncSession& session, TrackingState& tracking,
                      const BYTE* payload, DWORD cbPayload);
// Appends the status-only reply to `reply`; non-zero.
int ReplyEndSession(SyncSession& session, MessageBuffer& reply, BYTE status);

// Called by the worker, with systemLock held, when a connection ends and no
// stop of the server is under way. A connection that ends without an end of
// session must not leave capture suppressed, and the next connection must
// start clean: both capture flags are cleared, any change stream is dropped
// (no stream position survives into the next connection), bLastOp is
// OP_NONE and the state is None, so the next peer must say hello. The
// selected class, the alarm handle and the remote-database fields stay.
void EndConnection(SyncSession& session, TrackingState& tracking)
    REQUIRES(TrackingState::systemLock);

#endif  // HOLLOWMARCH_SERVER_SESSION_MESSAGES_H_
