#include "server/commands.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"
#include "platform/kernel.h"
#include "platform/user_notification.h"
#include "server/protocol.h"
#include "server/remote_db.h"
#include "server/sync_server.h"
#include "server/sync_session.h"
#include "settings/registry_store.h"
#include "tracking/change_log.h"
#include "tracking/clock.h"
#include "tracking/mail_store.h"
#include "tracking/tracked_db.h"
#include "tracking/tracking_context.h"

namespace {

// Item bytes (from the sub-code on) that each sub-code's numbers need.
constexpr DWORD kClassItemBytes = 2;    // 6, 17: sub-code, class index
constexpr DWORD kForgetItemBytes = 6;   // 16: and the record oid
constexpr DWORD kAlarmItemBytes = 31;   // 9: everything before the strings

constexpr DWORD kTimeReplyBytes = 12;
constexpr DWORD kAlarmReplyBytes = 11;

// The command's item payload: from the sub-code to the item's end.
struct CommandItem {
  const BYTE* bytes;
  DWORD size;
};

void ClearCaptureFlags(TrackingContext& tracking) {
  if (tracking.capture == nullptr) return;
  tracking.capture->fCaptureSuppressed.store(0);
  tracking.capture->fCaptureLocked.store(0);
}

// Commands 6, 16 and 17 first select their class and make sure it is
// tracked: through a node already in the table, or else through discovery.
struct ClassSelection {
  bool enabled = false;  // the class has at least one tracked database
  bool existed = false;  // it had one before this command
};

ClassSelection SelectClass(TrackingContext& tracking, DWORD dataClass) {
  ClassSelection selection;
  TrackedDbList* table = tracking.trackedDbs;
  if (table == nullptr) return selection;
  selection.existed = table->FirstTrackedOfClass(dataClass) != nullptr;
  selection.enabled =
      selection.existed || table->DiscoverClassDbs(dataClass, false, tracking.hwndMain);
  return selection;
}

void MarkTracking(TrackingContext& tracking, DWORD dataClass) {
  if (tracking.syncStates != nullptr) {
    SetSyncState(*tracking.syncStates, dataClass, SyncStateTracking);
  }
  if (GetSyncTime(dataClass) == 0) SetSyncTime(dataClass, CurrentTime());
}

// Forgets the loaded change of one record in every log of the class. Only
// a loaded list holds entries, so after command 3 nothing is found.
void ForgetChange(TrackingContext& tracking, DWORD dataClass, CEOID oidRec) {
  TrackedDbList* table = tracking.trackedDbs;
  for (TrackedDb* node = table->FirstTrackedOfClass(dataClass); node != nullptr;
       node = table->NextTrackedOfClass(node)) {
    if (node->pLog == nullptr) continue;
    ChangeEntry* entry = node->pLog->FindEntry(oidRec);
    if (entry == nullptr) continue;
    node->pLog->DeleteEntryRecord(entry);
    node->pLog->RemoveEntry(entry);
  }
}

BYTE EnableClass(SyncSession& session, TrackingContext& tracking,
                 CommandItem item) {
  BYTE subCode = item.bytes[0];
  DWORD needed = subCode == CMD_FORGET_CHANGE ? kForgetItemBytes : kClassItemBytes;
  DWORD dataClass;
  if (item.size < needed || !DataClassOfIndex(item.bytes[1], &dataClass)) {
    return STATUS_BAD_REQUEST;
  }
  session.dwClass = dataClass;
  ClassSelection selection = SelectClass(tracking, dataClass);
  session.bLastOp = subCode;
  if (!selection.enabled) return STATUS_OK;
  MarkTracking(tracking, dataClass);
  if (subCode == CMD_FORGET_CHANGE && selection.existed) {
    ForgetChange(tracking, dataClass, GetBe32(item.bytes + 2));
  }
  return STATUS_OK;
}

BYTE DisableClass(SyncSession& session, TrackingContext& tracking,
                  CommandItem item) {
  DWORD dataClass;
  if (item.size < kClassItemBytes || !DataClassOfIndex(item.bytes[1], &dataClass)) {
    return STATUS_BAD_REQUEST;
  }
  session.dwClass = dataClass;
  ClassSelection selection = SelectClass(tracking, dataClass);
  session.bLastOp = CMD_DISABLE_CLASS;
  if (!selection.enabled) return STATUS_OK;
  if (tracking.syncStates != nullptr) {
    SetSyncState(*tracking.syncStates, dataClass, SyncStateLost);
  }
  if (GetSyncTime(dataClass) != 0) SetSyncTime(dataClass, 0);
  if (selection.existed) {
    // Every log of the class goes; the nodes and their loaded lists stay.
    TrackedDbList* table = tracking.trackedDbs;
    for (TrackedDb* node = table->FirstTrackedOfClass(dataClass); node != nullptr;
         node = table->NextTrackedOfClass(node)) {
      if (node->pLog != nullptr) node->pLog->DeleteLogDb();
    }
  }
  return STATUS_OK;
}

BYTE FlushChanges(SyncSession& session, TrackingContext& tracking) {
  // After a free-space query dwClass holds a volume index, which names no
  // class: nothing is flushed then.
  if (tracking.trackedDbs != nullptr) tracking.trackedDbs->EndClassLog(session.dwClass);
  if (tracking.messageUids != nullptr) tracking.messageUids->RebuildMessageUidMap();
  ClearCaptureFlags(tracking);
  session.bLastOp = CMD_FLUSH_CHANGES;
  return STATUS_OK;
}

// The four strings of an alarm, each converted into a buffer of its own.
class AlarmStrings {
 public:
  AlarmStrings() = default;
  ~AlarmStrings() {
    for (LPWSTR s : strings_) {
      if (s != nullptr) LocalFree(s);
    }
  }
  AlarmStrings(const AlarmStrings&) = delete;
  AlarmStrings& operator=(const AlarmStrings&) = delete;

  // Reads the strings whose lengths stand at item bytes 23 to 30 from byte
  // 31 on. A string that runs past the item is cut at its end. False when a
  // buffer cannot be allocated.
  bool Read(CommandItem item) {
    DWORD at = kAlarmItemBytes;
    for (int i = 0; i < 4; ++i) {
      DWORD length = GetBe16(item.bytes + 23 + 2 * i);
      if (length == 0) continue;  // an empty string takes no bytes
      strings_[i] = static_cast<LPWSTR>(
          LocalAlloc(LMEM_ZEROINIT, (size_t{length} + 1) * sizeof(WCHAR)));
      if (strings_[i] == nullptr) return false;
      DWORD available = at < item.size ? std::min(length, item.size - at) : 0;
      AnsiToWide(strings_[i], static_cast<int>(length) + 1, item.bytes + at, available);
      at = std::min(at + length + 1, item.size);
    }
    return true;
  }

  LPWSTR Get(int i) const { return strings_[i]; }

 private:
  LPWSTR strings_[4] = {};
};

BYTE SetAlarm(SyncSession& session, CommandItem item) {
  if (item.size < kAlarmItemBytes) return STATUS_BAD_REQUEST;
  session.bLastOp = CMD_SET_ALARM;
  session.hAlarm = 0;
  AlarmStrings strings;
  if (!strings.Read(item)) {
    // Nothing is set or cleared without every string the peer sent.
    session.bLastOp = OP_NONE;
    return STATUS_BAD_REQUEST;
  }
  WCHAR defaultTitle[] = u"Alarm Reminder";
  WCHAR defaultText[] = u"Alarm Message";
  WCHAR defaultSound[] = u"Alarm1.wav";
  CE_USER_NOTIFICATION notification{};
  notification.ActionFlags = item.bytes[6];
  notification.pwszDialogTitle = strings.Get(1) ? strings.Get(1) : defaultTitle;
  notification.pwszDialogText = strings.Get(2) ? strings.Get(2) : defaultText;
  notification.pwszSound = strings.Get(3) ? strings.Get(3) : defaultSound;
  notification.nMaxSound = 0;
  notification.dwReserved = 0;
  const BYTE* t = item.bytes + 7;
  SYSTEMTIME time{GetBe16(t),      GetBe16(t + 2),  GetBe16(t + 4),  GetBe16(t + 6),
                  GetBe16(t + 8),  GetBe16(t + 10), GetBe16(t + 12), GetBe16(t + 14)};
  HANDLE handle = GetBe32(item.bytes + 1);
  if (item.bytes[5] != 0) {
    LPCWSTR application = strings.Get(0) ? strings.Get(0) : u"CALENDAR.EXE";
    session.hAlarm = CeSetUserNotification(handle, application, &time, &notification);
  } else {
    CeClearUserNotification(handle);
  }
  return STATUS_OK;
}

DWORD PutTimeReply(const SyncSession& session, BYTE status, BYTE* out) {
  DWORD now = CurrentTime();
  SetLastSyncTime(session.dwClass, now);
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

void AnsiToWide(LPWSTR dest, int cchDest, const BYTE* source, DWORD cbSource) {
  if (cchDest < 2 || cbSource == 0) return;
  const void* nul = std::memchr(source, 0, cbSource);
  int cb = nul != nullptr ? static_cast<int>(static_cast<const BYTE*>(nul) - source)
                          : static_cast<int>(cbSource);
  if (cb == 0) return;
  const char* narrow = reinterpret_cast<const char*>(source);
  int needed = MultiByteToWideChar(CP_ACP, 0, narrow, cb, nullptr, 0);
  if (needed <= 0) return;
  // The last unit of dest is never written: it stays the terminating NUL.
  MultiByteToWideChar(CP_ACP, 0, narrow, cb, dest, std::min(needed, cchDest - 1));
}

BYTE HandleCommand(SyncSession& session, TrackingContext& tracking,
                   const BYTE* payload, DWORD cbPayload) {
  session.bLastOp = OP_NONE;
  if (session.dwState != SessionStateOpen) return STATUS_REFUSED;
  const BYTE* found = FindItem(TAG_INFO, payload, static_cast<WORD>(cbPayload));
  // An item whose length field is 0, that cannot hold its sub-code, or that
  // runs past the received bytes is refused.
  if (found == nullptr || !ItemFits(found, payload + cbPayload) ||
      GetBe16(found + 1) <= kItemHeaderBytes) {
    return STATUS_BAD_REQUEST;
  }
  CommandItem item{found + kItemHeaderBytes,
                   static_cast<DWORD>(GetBe16(found + 1) - kItemHeaderBytes)};
  switch (item.bytes[0]) {
    case CMD_SUSPEND_CAPTURE:
      session.bLastOp = CMD_SUSPEND_CAPTURE;
      if (tracking.capture != nullptr && tracking.capture->fCaptureLocked.load() == 0) {
        tracking.capture->fCaptureSuppressed.store(1);
      }
      return STATUS_OK;
    case CMD_FLUSH_CHANGES:
      return FlushChanges(session, tracking);
    case CMD_ENABLE_CLASS:
    case CMD_FORGET_CHANGE:
      return EnableClass(session, tracking, item);
    case CMD_RESUME_CAPTURE:
      if (tracking.capture != nullptr) {
        tracking.capture->fCaptureSuppressed.store(0);
        tracking.capture->fCaptureLocked.store(1);
      }
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

int ReplyCommand(SyncSession& session, SyncServer& server,
                 TrackingContext& tracking, BYTE status) {
  BYTE* out = server.pbBuffer;
  DWORD length = 0;
  switch (session.bLastOp) {
    case CMD_ENABLE_CLASS:
    case CMD_FORGET_CHANGE:
      length = PutTimeReply(session, status, out);
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
  server.cbData = static_cast<int32_t>(length);
  return 1;
}
