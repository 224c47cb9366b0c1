// The dispatcher: what the server's worker does with every received
// message. It routes a message to its handler by the session's state and
// the message's type (server/session_messages.h, server/commands.h,
// server/queries.h, server/change_stream.h); the handlers do not depend on
// it.
//
// Threads: the worker, with systemLock (tracking/tracking_state.h) held unless
// said otherwise, one message at a time; tests and the fuzzer take the lock
// the same way.
#ifndef HOLLOWMARCH_SERVER_MESSAGE_DISPATCH_H_
#define HOLLOWMARCH_SERVER_MESSAGE_DISPATCH_H_

#include <cstdint>

#include "platform/types.h"
#include "server/sync_server.h"
#include "tracking/tracking_state.h"

struct SyncSession;

// Handles the message of `received` bytes at `frame` and appends the reply
// to `reply`, which must be empty. Non-zero when `reply` holds a reply to
// send, zero when nothing is to be sent. Never reads past the `received`
// bytes (a frame's length field is trusted only as far as those bytes reach).
int HandleMessage(SyncSession& session, const BYTE* frame, int32_t received,
                  MessageBuffer& reply, TrackingState& tracking)
    REQUIRES(TrackingState::systemLock);

// True when the message of `received` bytes at `frame` may write the store
// (a command that is not a remote read; see CommandWritesStore), so that the
// server takes the store before systemLock for it. Reads nothing past
// `received`; the worker only, before it takes systemLock.
bool MessageWritesStore(const SyncSession& session, const BYTE* frame, int32_t received);

// True when the peer may commit what it was shown once the message of
// `received` bytes at `frame` is answered: command 3 (which ends the
// peer's reading of a class) and the end of session. Their replies wait for
// the durability point (tracking/durability_point.h). Reads nothing past
// `received`; the worker only, before the message is handled.
bool MessageLetsPeerCommit(const SyncSession& session, const BYTE* frame, int32_t received);

// The reply to a message whose store transaction could not be committed
// (see ReplyCommandNotKept), into the empty `reply`. Non-zero.
int ReplyMessageNotKept(SyncSession& session, MessageBuffer& reply,
                        TrackingState& tracking) REQUIRES(TrackingState::systemLock);

// The functions above as the server's worker reaches them
// (server/sync_server.h): one dispatcher for the process, without state of
// its own.
MessageDispatcher& SessionDispatcher();

#endif  // HOLLOWMARCH_SERVER_MESSAGE_DISPATCH_H_
