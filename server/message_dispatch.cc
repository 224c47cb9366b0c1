#include "server/message_dispatch.h"

#include <cassert>

#include "server/change_stream.h"
#include "server/commands.h"
#include "server/framing.h"
#include "server/message_buffer.h"
#include "server/protocol.h"
#include "server/queries.h"
#include "server/session_messages.h"
#include "server/sync_server.h"
#include "server/sync_session.h"

bool MessageWritesStore(const SyncSession& session, const BYTE* frame, int32_t received) {
  if (received < static_cast<int32_t>(kFrameHeaderBytes)) return false;
  if (session.dwState != SessionStateOpen || frame[0] != MSG_COMMAND) return false;
  return CommandWritesStore(frame + kFrameHeaderBytes,
                            PayloadBytes(frame, static_cast<DWORD>(received)));
}

bool MessageLetsPeerCommit(const SyncSession& session, const BYTE* frame, int32_t received) {
  if (received < static_cast<int32_t>(kFrameHeaderBytes)) return false;
  if (session.dwState == SessionStateStreaming) return false;
  if (frame[0] == MSG_END_SESSION) return true;
  if (session.dwState != SessionStateOpen || frame[0] != MSG_COMMAND) return false;
  CommandItem item;
  return FindCommandItem(frame + kFrameHeaderBytes, PayloadBytes(frame, static_cast<DWORD>(received)),
                         &item) &&
         item.bytes[0] == CMD_FLUSH_CHANGES;
}

int ReplyMessageNotKept(SyncSession& session, MessageBuffer& reply, TrackingState& tracking) {
  return ReplyCommandNotKept(session, reply, tracking);
}

int HandleMessage(SyncSession& session, const BYTE* frame, int32_t received,
                  MessageBuffer& reply, TrackingState& tracking) {
  assert(reply.Empty());
  if (received < static_cast<int32_t>(kFrameHeaderBytes))
    return ReplyStatusOnly(reply, STATUS_UNRECOGNISED);

  const BYTE type = frame[0];
  if (session.dwState == SessionStateStreaming) {
    if (type != ACK_CONTINUE && type != STATUS_OK) return 0;
    if (session.fStreamDone) {
      session.dwState = SessionStateOpen;
      return 0;
    }
    return StreamChanges(session, reply, tracking);
  }
  if (type < MSG_HELLO || type > MSG_QUERY)
    return ReplyStatusOnly(reply, STATUS_UNRECOGNISED);

  const DWORD cbPayload = PayloadBytes(frame, static_cast<DWORD>(received));
  const BYTE* payload = frame + kFrameHeaderBytes;

  switch (type) {
    case MSG_HELLO:
      return ReplyHello(session, reply,
                        HandleHello(session, tracking, payload, cbPayload));
    case MSG_END_SESSION:
      return ReplyEndSession(
          session, reply,
          HandleEndSession(session, tracking, payload, cbPayload));
    case MSG_COMMAND:
      return ReplyCommand(session, reply, tracking,
                          HandleCommand(session, tracking, payload, cbPayload));
    default:  // MSG_QUERY
      return ReplyQuery(session, reply, tracking,
                        HandleQuery(session, tracking, payload, cbPayload));
  }
}

namespace {

class SessionDispatch final : public MessageDispatcher {
 public:
  bool WritesStore(const SyncSession& session, const BYTE* frame,
                   int32_t received) override {
    return MessageWritesStore(session, frame, received);
  }
  bool LetsPeerCommit(const SyncSession& session, const BYTE* frame,
                      int32_t received) override {
    return MessageLetsPeerCommit(session, frame, received);
  }
  int Handle(SyncSession& session, const BYTE* frame, int32_t received, MessageBuffer& reply,
             TrackingState& tracking) override REQUIRES(TrackingState::systemLock) {
    return HandleMessage(session, frame, received, reply, tracking);
  }
  int ReplyNotKept(SyncSession& session, MessageBuffer& reply,
                   TrackingState& tracking) override REQUIRES(TrackingState::systemLock) {
    return ReplyMessageNotKept(session, reply, tracking);
  }
  void EndConnection(SyncSession& session, TrackingState& tracking) override
      REQUIRES(TrackingState::systemLock) {
    ::EndConnection(session, tracking);
  }
};

}  // namespace

MessageDispatcher& SessionDispatcher() {
  static SessionDispatch dispatcher;
  return dispatcher;
}
