#include "server/message_dispatch.h"

#include <cassert>

#include "platform/object_store.h"
#include "server/alarm_command.h"
#include "server/change_stream.h"
#include "server/commands.h"
#include "server/framing.h"
#include "server/message_buffer.h"
#include "server/protocol.h"
#include "server/queries.h"
#include "server/remote_db.h"
#include "server/request.h"
#include "server/session_messages.h"
#include "server/sync_session.h"
#include "tracking/durability_point.h"
#include "tracking/system_lock.h"

namespace {

// A row's handler: returns the status of the request it carried out (or
// refused); called with systemLock held and an "I" item of at least the
// row's itemBytes.
using Handler = BYTE (*)(SyncSession&, TrackingState&, const Request&);
// A row's reply: appends to the empty buffer; zero when nothing is sent.
using Replier = int (*)(SyncSession&, TrackingState&, BYTE status, MessageBuffer&);
// What undoes an accepted request whose store transaction failed.
using Undo = void (*)(SyncSession&, TrackingState&);

struct RequestRow {
  BYTE type;            // the request's first byte
  BYTE subCode;         // a command's or query's sub-code; 0 for the others
  DWORD itemBytes;      // "I" item bytes, from the sub-code on, it must hold
  bool writesStore;     // handled in a store transaction, committed after
  bool letsPeerCommit;  // its reply waits for the durability point
  Handler handle;       // null: nothing to do, STATUS_OK
  Replier reply;        // after STATUS_OK (any status for hello); null: the
                        // status only
  Undo notKept;         // after an accepted request's failed commit
};

// Query fields from the sub-code on: sub-code, index, time.
constexpr DWORD kQueryFieldBytes = kQueryItemMinBytes - kItemHeaderBytes;

// Every request the peer may send in an open session (hello and end of
// session in any state but streaming), by its first byte and sub-code.
// Every command that is not a remote read may write the store.
constexpr RequestRow kRows[] = {
    // type, sub-code, item bytes, store, peer commits, handler, reply, not kept
    {MSG_HELLO, 0, 0, false, false, HandleHello, ReplyHello, nullptr},
    {MSG_END_SESSION, 0, 0, false, true, HandleEndSession, nullptr, nullptr},
    {MSG_COMMAND, CMD_SUSPEND_CAPTURE, kSubCodeItemBytes, true, false, HandleSuspendCapture, nullptr,
     nullptr},
    {MSG_COMMAND, CMD_FLUSH_CHANGES, kSubCodeItemBytes, true, true, HandleFlushChanges, nullptr,
     LoseSelectedClass},
    {MSG_COMMAND, CMD_ENABLE_CLASS, kClassItemBytes, true, false, HandleEnableClass, ReplyClassTime,
     LoseSelectedClass},
    {MSG_COMMAND, CMD_RESUME_CAPTURE, kSubCodeItemBytes, true, false, HandleResumeCapture, nullptr,
     nullptr},
    {MSG_COMMAND, CMD_SET_ALARM, kAlarmItemBytes, true, false, HandleSetAlarm, ReplyAlarm, nullptr},
    {MSG_COMMAND, CMD_OPEN_DB, kOpenDbItemBytes, false, false, HandleOpenDb, ReplyOpenDb, nullptr},
    {MSG_COMMAND, CMD_CLOSE_DB, kHandleItemBytes, false, false, HandleCloseDb, nullptr, nullptr},
    {MSG_COMMAND, CMD_SEEK_DB, kSeekDbItemBytes, false, false, HandleSeekDb, ReplySeekDb, nullptr},
    {MSG_COMMAND, CMD_READ_RECORDS, kHandleItemBytes, false, false, HandleReadRecords,
     ReplyReadRecords, nullptr},
    {MSG_COMMAND, CMD_FORGET_CHANGE, kForgetItemBytes, true, false, HandleEnableClass,
     ReplyClassTime, LoseSelectedClass},
    {MSG_COMMAND, CMD_DISABLE_CLASS, kClassItemBytes, true, false, HandleDisableClass, nullptr,
     LoseSelectedClass},
    {MSG_QUERY, QUERY_SYNC_STATE, kQueryFieldBytes, false, false, HandleSyncStateQuery,
     ReplySyncStateQuery, nullptr},
    {MSG_QUERY, QUERY_CHANGES, kQueryFieldBytes, false, false, HandleChangesQuery,
     ReplyChangesQuery, nullptr},
    {MSG_QUERY, QUERY_TIME_ZONE, kQueryFieldBytes, false, false, HandleTimeZoneQuery,
     ReplyTimeZoneQuery, nullptr},
    {MSG_QUERY, QUERY_FREE_SPACE, kQueryFieldBytes, false, false, HandleFreeSpaceQuery,
     ReplyFreeSpaceQuery, nullptr},
};

// What the session's state or a malformed frame makes of a request instead.

BYTE Unrecognised(SyncSession&, TrackingState&, const Request&) { return STATUS_UNRECOGNISED; }
// A command or query outside an open session, or without a usable "I" item
// or sub-code: no reply of an earlier one is pending any more.
BYTE Refused(SyncSession& session, TrackingState&, const Request&) {
  session.bLastOp = OP_NONE;
  return STATUS_REFUSED;
}
BYTE Malformed(SyncSession& session, TrackingState&, const Request&) {
  session.bLastOp = OP_NONE;
  return STATUS_BAD_REQUEST;
}

// During a stream: each acknowledgement brings the next frame; the one after
// the last frame ends the stream without a reply. Anything else is dropped.
int ContinueStream(SyncSession& session, TrackingState& tracking, BYTE, MessageBuffer& reply)
    REQUIRES(TrackingState::systemLock) {
  if (session.fStreamDone) {
    session.dwState = SessionStateOpen;
    return 0;
  }
  return StreamChanges(session, reply, tracking);
}
int NoReply(SyncSession&, TrackingState&, BYTE, MessageBuffer&) { return 0; }

constexpr RequestRow kUnrecognisedRow = {0, 0, 0, false, false, Unrecognised, nullptr, nullptr};
constexpr RequestRow kRefusedRow = {0, 0, 0, false, false, Refused, nullptr, nullptr};
constexpr RequestRow kMalformedRow = {0, 0, 0, false, false, Malformed, nullptr, nullptr};
// An unknown command waits for the store like every command that may write.
constexpr RequestRow kUnknownCommandRow = {MSG_COMMAND, 0, 0, true, false, Malformed, nullptr,
                                           nullptr};
constexpr RequestRow kAcknowledgementRow = {ACK_CONTINUE, 0, 0, false, false, nullptr,
                                            ContinueStream, nullptr};
constexpr RequestRow kDroppedRow = {0, 0, 0, false, false, nullptr, NoReply, nullptr};

// The row that serves `request` in the session's present state.
const RequestRow& Route(const SyncSession& session, const Request& request) {
  if (!request.hasHeader) return kUnrecognisedRow;
  const BYTE type = request.type;
  if (session.dwState == SessionStateStreaming) {
    return type == ACK_CONTINUE || type == STATUS_OK ? kAcknowledgementRow : kDroppedRow;
  }
  const bool withSubCode = type == MSG_COMMAND || type == MSG_QUERY;
  if (withSubCode) {
    if (session.dwState != SessionStateOpen) return kRefusedRow;
    if (!request.HasInfo()) return kMalformedRow;
  }
  for (const RequestRow& row : kRows) {
    if (row.type == type && (!withSubCode || row.subCode == request.SubCode())) return row;
  }
  if (type == MSG_COMMAND) return kUnknownCommandRow;
  return withSubCode ? kMalformedRow : kUnrecognisedRow;
}

// Handles `request` by its row and appends the reply; non-zero when there
// is one. `status` is the handler's.
int Serve(const RequestRow& row, const Request& request, SyncSession& session,
          TrackingState& tracking, MessageBuffer& reply, BYTE* status)
    REQUIRES(TrackingState::systemLock) {
  assert(reply.Empty());
  // A reply is pending only for the command or query whose handler accepts
  // it.
  if (row.type == MSG_COMMAND || row.type == MSG_QUERY) session.bLastOp = OP_NONE;
  *status = STATUS_OK;
  if (request.info.size < row.itemBytes) {
    *status = STATUS_BAD_REQUEST;
  } else if (row.handle != nullptr) {
    *status = row.handle(session, tracking, request);
  }
  int replied;
  if (row.reply != nullptr && (*status == STATUS_OK || row.type == MSG_HELLO)) {
    replied = row.reply(session, tracking, *status, reply);
  } else {
    replied = ReplyStatusOnly(reply, *status);
  }
  assert(replied == 0 ? reply.Empty() : !reply.Empty());
  return replied;
}

// The reply to a request whose store transaction could not be had or
// committed: nothing it wrote is kept (`accepted` says whether its handler
// carried it out, and so has something to undo), and the peer is told it
// failed with a bare 0xC0.
int ReplyNotKept(const RequestRow& row, bool accepted, SyncSession& session,
                 TrackingState& tracking, MessageBuffer& reply) REQUIRES(TrackingState::systemLock) {
  if (accepted && row.notKept != nullptr) row.notKept(session, tracking);
  session.bLastOp = OP_NONE;
  reply.Clear();
  return ReplyStatusOnly(reply, STATUS_BAD_REQUEST);
}

DWORD ReceivedBytes(int32_t received) { return received < 0 ? 0 : static_cast<DWORD>(received); }

}  // namespace

int HandleMessage(SyncSession& session, const BYTE* frame, int32_t received,
                  MessageBuffer& reply, TrackingState& tracking) {
  const Request request = ReadRequest(frame, ReceivedBytes(received));
  BYTE status;
  return Serve(Route(session, request), request, session, tracking, reply, &status);
}

bool MessageLetsPeerCommit(const SyncSession& session, const BYTE* frame, int32_t received) {
  return Route(session, ReadRequest(frame, ReceivedBytes(received))).letsPeerCommit;
}

MessageDispatcher::Outcome SessionDispatcher::Dispatch(const BYTE* frame, DWORD received,
                                                       MessageBuffer& reply,
                                                       ConnectionGate& gate) {
  assert(reply.Empty());
  const Request request = ReadRequest(frame, received);
  const RequestRow& row = Route(session_, request);
  // A message that writes the store waits for it before systemLock, so that
  // a busy store holds up this message alone; anything else that meets a
  // busy store under the lock fails after a short wait.
  bool storeTaken = false;
  if (row.writesStore) {
    storeTaken = LockWithStore();
  } else {
    TrackingState::systemLock.Lock();
  }
  Outcome outcome;
  if (gate.StopAsked()) {
    if (storeTaken) CeEndTransaction(FALSE);
    TrackingState::systemLock.Unlock();
    outcome.stopped = true;
    return outcome;
  }
  int replied;
  {
    ScopedStoreWait wait(kStoreWaitUnderSystemLockMs);
    const DWORD stateBefore = session_.dwState;
    if (row.writesStore && !storeTaken) {
      // The store stayed busy past the wait: a message that writes it is
      // not carried out at all (half of it could be written, its class's
      // state in the cache and not in the registry).
      replied = ReplyNotKept(row, false, session_, tracking_, reply);
    } else {
      BYTE status;
      replied = Serve(row, request, session_, tracking_, reply, &status);
      if (storeTaken && !CeEndTransaction(TRUE)) {
        replied = ReplyNotKept(row, status == STATUS_OK, session_, tracking_, reply);
      }
    }
    // The close is asked once, after the reply to the end of session that
    // asked for it; the replies that may follow it do not ask again.
    outcome.closeApp =
        stateBefore != SessionStateShutdown && session_.dwState == SessionStateShutdown;
    // Told before the lock goes, so a Stop that takes it next waits for this
    // reply to be sent.
    if (replied != 0) gate.ReplyComing();
  }
  TrackingState::systemLock.Unlock();
  // After the message's own commit and outside the lock (capture goes on
  // meanwhile): the peer may commit what it was shown once it has this
  // reply, so all of it must outlive a power cut first.
  if (replied != 0 && row.letsPeerCommit) {
    DurabilityPoint("before a reply that lets the peer commit");
  }
  outcome.replied = replied != 0;
  return outcome;
}

void SessionDispatcher::EndConnection(ConnectionGate& gate) {
  // A stop tears the whole system down and keeps capture as the window
  // thread set it.
  platform::MutexLock locked(&TrackingState::systemLock);
  if (!gate.StopAsked()) ::EndConnection(session_, tracking_);
}
