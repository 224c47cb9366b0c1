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
struct Request;
class MessageBuffer;

// Hello: reads the request's payload (byte 3 on). Returns STATUS_OK (state Open, both capture flags cleared),
// STATUS_BAD_REQUEST (version other than 0x10, buffer size under 2048, or a
// payload shorter than the 4-byte prefix) or STATUS_REFUSED (no "F" item,
// or one that does not begin with the identification). A refused hello
// changes nothing.
BYTE HandleHello(SyncSession& session, TrackingState& tracking, const Request& request);
// Appends the 11-byte hello reply with `status`, whatever it is, to
// `reply`; non-zero.
int ReplyHello(SyncSession& session, TrackingState& tracking, BYTE status, MessageBuffer& reply);

// End of session: state Shutdown when the payload starts with an "I" item
// whose first payload byte is non-zero, else Ended (Shutdown stays); clears
// both capture flags. Always STATUS_OK.
// Its reply is the status only.
BYTE HandleEndSession(SyncSession& session, TrackingState& tracking, const Request& request);

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
