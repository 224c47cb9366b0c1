#include "server/commands.h"

#include <cassert>

#include "server/alarm_command.h"
#include "server/framing.h"
#include "server/message_buffer.h"
#include "server/protocol.h"
#include "server/remote_db.h"
#include "server/sync_session.h"
#include "settings/registry_store.h"
#include "tracking/clock.h"
#include "tracking/mail_store.h"
#include "tracking/sync_horizon.h"
#include "tracking/tracked_class.h"
#include "tracking/tracking_state.h"

namespace {

// Item bytes (from the sub-code on) that each sub-code's numbers need.
constexpr DWORD kClassItemBytes = 2;    // 6, 17: sub-code, class index
constexpr DWORD kForgetItemBytes = 6;   // 16: and the record oid

constexpr DWORD kTimeReplyBytes = 12;
constexpr DWORD kAlarmReplyBytes = 11;

BYTE EnableClass(SyncSession& session, TrackingState& tracking, CommandItem item)
    REQUIRES(TrackingState::systemLock) {
  BYTE subCode = item.bytes[0];
  DWORD needed = subCode == CMD_FORGET_CHANGE ? kForgetItemBytes : kClassItemBytes;
  DWORD dataClass;
  if (item.size < needed || !DataClassOfIndex(item.bytes[1], &dataClass)) {
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

BYTE DisableClass(SyncSession& session, TrackingState& tracking, CommandItem item)
    REQUIRES(TrackingState::systemLock) {
  DWORD dataClass;
  if (item.size < kClassItemBytes || !DataClassOfIndex(item.bytes[1], &dataClass)) {
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

BYTE FlushChanges(SyncSession& session, TrackingState& tracking) REQUIRES(TrackingState::systemLock) {
  // After a free-space query dwClass holds a volume index, which names no
  // class: nothing is flushed then.
  FlushClassChanges(tracking, session.dwClass);
  tracking.capture.Clear();
  session.bLastOp = CMD_FLUSH_CHANGES;
  return STATUS_OK;
}

BYTE SetAlarm(SyncSession& session, CommandItem item) {
  AlarmRequest request;
  switch (request.Read(item.bytes, item.size)) {
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

BYTE HandleCommand(SyncSession& session, TrackingState& tracking,
                   const BYTE* payload, DWORD cbPayload) {
  session.bLastOp = OP_NONE;
  if (session.dwState != SessionStateOpen) return STATUS_REFUSED;
  CommandItem item;
  if (!FindCommandItem(payload, cbPayload, &item)) return STATUS_BAD_REQUEST;
  switch (item.bytes[0]) {
    case CMD_SUSPEND_CAPTURE:
      session.bLastOp = CMD_SUSPEND_CAPTURE;
      if (tracking.capture.fCaptureLocked.load() == 0) {
        tracking.capture.fCaptureSuppressed.store(1);
      }
      return STATUS_OK;
    case CMD_FLUSH_CHANGES:
      return FlushChanges(session, tracking);
    case CMD_ENABLE_CLASS:
    case CMD_FORGET_CHANGE:
      return EnableClass(session, tracking, item);
    case CMD_RESUME_CAPTURE:
      tracking.capture.fCaptureSuppressed.store(0);
      tracking.capture.fCaptureLocked.store(1);
      session.bLastOp = CMD_RESUME_CAPTURE;
      return STATUS_OK;
    case CMD_SET_ALARM:
      return SetAlarm(session, item);
    case CMD_OPEN_DB:
      return HandleOpenDb(session, session.remoteDbs, item.bytes, item.size);
    case CMD_CLOSE_DB:
      return HandleCloseDb(session, session.remoteDbs, item.bytes, item.size);
    case CMD_SEEK_DB:
      return HandleSeekDb(session, session.remoteDbs, item.bytes, item.size);
    case CMD_READ_RECORDS:
      return HandleReadRecords(session, session.remoteDbs, item.bytes, item.size);
    case CMD_DISABLE_CLASS:
      return DisableClass(session, tracking, item);
    default:
      return STATUS_BAD_REQUEST;
  }
}

int ReplyCommand(SyncSession& session, MessageBuffer& reply,
                 TrackingState& tracking, BYTE status) {
  assert(reply.Empty());
  BYTE* out = reply.Room(MessageBuffer::kCapacity);
  DWORD length = 0;
  switch (session.bLastOp) {
    case CMD_ENABLE_CLASS:
    case CMD_FORGET_CHANGE:
      length = PutTimeReply(session, tracking, status, out);
      break;
    case CMD_SET_ALARM:
      length = PutAlarmReply(session, status, out);
      break;
    case CMD_OPEN_DB:
    case CMD_SEEK_DB:
    case CMD_READ_RECORDS:
      length = ReplyRemoteDb(session, status, out);
      break;
    default:
      length = PutStatusReply(out, status);
      break;
  }
  reply.Add(length);
  return 1;
}

bool CommandWritesStore(const BYTE* payload, DWORD cbPayload) {
  CommandItem item;
  if (!FindCommandItem(payload, cbPayload, &item)) return false;  // refused unread
  switch (item.bytes[0]) {
    case CMD_OPEN_DB:
    case CMD_CLOSE_DB:
    case CMD_SEEK_DB:
    case CMD_READ_RECORDS:
      return false;
    default:
      return true;
  }
}

int ReplyCommandNotKept(SyncSession& session, MessageBuffer& reply,
                        TrackingState& tracking) {
  switch (session.bLastOp) {
    case CMD_FLUSH_CHANGES:
    case CMD_ENABLE_CLASS:
    case CMD_FORGET_CHANGE:
    case CMD_DISABLE_CLASS:
      // Only a class with tracked databases has anything to lose (after a
      // free-space query dwClass names a volume, no class).
      RollBackClass(tracking, session.dwClass);
      break;
    default:
      break;
  }
  session.bLastOp = OP_NONE;
  assert(reply.Empty());
  return ReplyStatusOnly(reply, STATUS_BAD_REQUEST);
}
