#include "server/commands.h"

#include <cassert>

#include "server/alarm_command.h"
#include "server/framing.h"
#include "server/message_buffer.h"
#include "server/protocol.h"
#include "server/request.h"
#include "server/sync_session.h"
#include "settings/registry_store.h"
#include "tracking/clock.h"
#include "tracking/mail_store.h"
#include "tracking/sync_horizon.h"
#include "tracking/tracked_class.h"
#include "tracking/tracking_state.h"

namespace {

constexpr DWORD kTimeReplyBytes = 12;
constexpr DWORD kAlarmReplyBytes = 11;

}  // namespace

BYTE HandleEnableClass(SyncSession& session, TrackingState& tracking, const Request& request) {
  const ByteView& item = request.info;
  BYTE subCode = item.bytes[0];
  assert(item.size >= (subCode == CMD_FORGET_CHANGE ? kForgetItemBytes : kClassItemBytes));
  DWORD dataClass;
  if (!DataClassOfIndex(item.bytes[1], &dataClass)) {
    return STATUS_BAD_REQUEST;
  }
  session.dwClass = dataClass;
  ClassSelection selection = SelectTrackedClass(tracking, dataClass);
  session.bLastOp = subCode;
  if (!selection.enabled) return STATUS_OK;
  EnterTracking(tracking.syncStates, dataClass);
  if (subCode == CMD_FORGET_CHANGE && selection.existed) {
    ForgetChange(tracking, dataClass, GetBe32(item.bytes + 2));
  }
  return STATUS_OK;
}

BYTE HandleDisableClass(SyncSession& session, TrackingState& tracking, const Request& request) {
  const ByteView& item = request.info;
  assert(item.size >= kClassItemBytes);
  DWORD dataClass;
  if (!DataClassOfIndex(item.bytes[1], &dataClass)) {
    return STATUS_BAD_REQUEST;
  }
  session.dwClass = dataClass;
  ClassSelection selection = SelectTrackedClass(tracking, dataClass);
  session.bLastOp = CMD_DISABLE_CLASS;
  if (!selection.enabled) return STATUS_OK;
  LoseClass(tracking.syncStates, dataClass);
  if (selection.existed) DeleteClassLogs(tracking, dataClass);
  return STATUS_OK;
}

BYTE HandleFlushChanges(SyncSession& session, TrackingState& tracking, const Request&) {
  // After a free-space query dwClass holds a volume index, which names no
  // class: nothing is flushed then.
  FlushClassChanges(tracking, session.dwClass);
  tracking.capture.Clear();
  session.bLastOp = CMD_FLUSH_CHANGES;
  return STATUS_OK;
}

BYTE HandleSetAlarm(SyncSession& session, TrackingState&, const Request& command) {
  AlarmRequest request;
  switch (request.Read(command.info.bytes, command.info.size)) {
    case AlarmRequest::ReadResult::kTooShort:
      return STATUS_BAD_REQUEST;
    case AlarmRequest::ReadResult::kNoMemory:
      // Nothing is set or cleared without every string the peer sent.
      session.hAlarm = 0;
      return STATUS_BAD_REQUEST;
    case AlarmRequest::ReadResult::kOk:
      break;
  }
  session.bLastOp = CMD_SET_ALARM;
  session.hAlarm = request.Apply();
  return STATUS_OK;
}

namespace {

DWORD PutTimeReply(const SyncSession& session, TrackingState& tracking, BYTE status, BYTE* out)
    REQUIRES(TrackingState::systemLock) {
  DWORD now = CurrentTime();
  // The answer becomes the peer's anchor: no later horizon of the class may
  // equal it, nor a later clock stand before it (a clock set back keeps the
  // later time recorded).
  SetLastSyncTime(session.dwClass, NoteAnchor(tracking.syncStates, session.dwClass, now));
  out[0] = status;
  PutBe16(out + 1, static_cast<WORD>(kTimeReplyBytes));
  out[3] = TAG_INFO;
  PutBe16(out + 4, static_cast<WORD>(kTimeReplyBytes - kFrameHeaderBytes));
  out[6] = session.bLastOp;
  out[7] = 0;
  PutBe32(out + 8, now);
  return kTimeReplyBytes;
}

DWORD PutAlarmReply(const SyncSession& session, BYTE status, BYTE* out) {
  out[0] = status;
  PutBe16(out + 1, static_cast<WORD>(kAlarmReplyBytes));
  out[3] = TAG_INFO;
  PutBe16(out + 4, static_cast<WORD>(kAlarmReplyBytes - kFrameHeaderBytes));
  out[6] = CMD_SET_ALARM;
  PutBe32(out + 7, session.hAlarm);
  return kAlarmReplyBytes;
}

}  // namespace

BYTE HandleSuspendCapture(SyncSession& session, TrackingState& tracking, const Request&) {
  session.bLastOp = CMD_SUSPEND_CAPTURE;
  if (tracking.capture.fCaptureLocked.load() == 0) {
    tracking.capture.fCaptureSuppressed.store(1);
  }
  return STATUS_OK;
}

BYTE HandleResumeCapture(SyncSession& session, TrackingState& tracking, const Request&) {
  tracking.capture.fCaptureSuppressed.store(0);
  tracking.capture.fCaptureLocked.store(1);
  session.bLastOp = CMD_RESUME_CAPTURE;
  return STATUS_OK;
}

int ReplyClassTime(SyncSession& session, TrackingState& tracking, BYTE status,
                   MessageBuffer& reply) {
  reply.Add(PutTimeReply(session, tracking, status, reply.Room(kTimeReplyBytes)));
  return 1;
}

int ReplyAlarm(SyncSession& session, TrackingState&, BYTE status, MessageBuffer& reply) {
  reply.Add(PutAlarmReply(session, status, reply.Room(kAlarmReplyBytes)));
  return 1;
}

// Only a class with tracked databases has anything to lose (after a
// free-space query dwClass names a volume, no class).
void LoseSelectedClass(SyncSession& session, TrackingState& tracking) {
  RollBackClass(tracking, session.dwClass);
}
