// The dispatcher: what the server's worker does with every received frame.
// The frame is read once (server/request.h) and looked up once in one table
// of message types and command and query sub-codes. A row says how long the
// request's "I" item must be, whether the message may write the store,
// whether its reply lets the peer commit, its handler and its reply, and
// what undoes it when its store transaction cannot be committed. The
// handlers (server/session_messages.h, server/commands.h, server/queries.h,
// server/remote_db.h, server/change_stream.h) do not depend on it; a new
// command is one row and one handler.
//
// The dispatcher owns the lock, the store and the commit: it takes
// systemLock (with a store transaction where the row says the message
// writes the store), handles the message, commits or answers "not kept",
// and tells the transport (server/sync_server.h) whether the reply asks the
// application to close. The transport only receives, splits, dispatches
// and sends.
//
// Threads: SessionDispatcher's calls on the server's worker only, without
// systemLock; HandleMessage with it held, one message at a time (tests and
// the fuzzers take the lock the same way).
#ifndef HOLLOWMARCH_SERVER_MESSAGE_DISPATCH_H_
#define HOLLOWMARCH_SERVER_MESSAGE_DISPATCH_H_

#include <cstdint>

#include "platform/types.h"
#include "server/sync_server.h"
#include "tracking/tracking_state.h"

struct SyncSession;
class MessageBuffer;

// Handles the message of `received` bytes at `frame` and appends the reply
// to `reply`, which must be empty: no store transaction is taken or ended.
// Non-zero when `reply` holds a reply to send, zero when nothing is to be
// sent. Never reads past the `received` bytes (a frame's length field is
// trusted only as far as those bytes reach).
int HandleMessage(SyncSession& session, const BYTE* frame, int32_t received,
                  MessageBuffer& reply, TrackingState& tracking)
    REQUIRES(TrackingState::systemLock);

// True when the peer may commit what it was shown once the message of
// `received` bytes at `frame` is answered, in the session's present state:
// command 3 (which ends the peer's reading of a class) and the end of
// session. Their replies wait for the durability point
// (tracking/durability_point.h). Reads nothing past `received`.
bool MessageLetsPeerCommit(const SyncSession& session, const BYTE* frame, int32_t received);

// The program's dispatcher, for one session on one tracking state, both of
// which must outlive it. Holds no state of its own.
class SessionDispatcher final : public MessageDispatcher {
 public:
  SessionDispatcher(SyncSession& session, TrackingState& tracking)
      : session_(session), tracking_(tracking) {}
  SessionDispatcher(const SessionDispatcher&) = delete;
  SessionDispatcher& operator=(const SessionDispatcher&) = delete;

  Outcome Dispatch(const BYTE* frame, DWORD received, MessageBuffer& reply,
                   ConnectionGate& gate) override EXCLUDES(TrackingState::systemLock);
  // Clears the session as EndConnection (server/session_messages.h) does.
  void EndConnection(ConnectionGate& gate) override EXCLUDES(TrackingState::systemLock);

 private:
  SyncSession& session_;
  TrackingState& tracking_;
};

#endif  // HOLLOWMARCH_SERVER_MESSAGE_DISPATCH_H_
