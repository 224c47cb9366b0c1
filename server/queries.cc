#include "server/queries.h"

#include <bit>
#include <cassert>
#include <cstring>

#include "platform/system_info.h"
#include "server/change_stream.h"
#include "server/framing.h"
#include "server/message_buffer.h"
#include "server/protocol.h"
#include "server/sync_session.h"
#include "settings/registry_store.h"
#include "tracking/clock.h"
#include "tracking/mail_store.h"
#include "tracking/sync_horizon.h"
#include "tracking/tracked_class.h"
#include "tracking/tracking_state.h"

namespace {

// The device's structures are little-endian; on a little-endian host their
// in-memory form is the wire form.
static_assert(std::endian::native == std::endian::little);

constexpr DWORD kSyncStateReplyBytes = 8;
constexpr DWORD kTimeZoneReplyBytes = 6 + sizeof(TIME_ZONE_INFORMATION);
constexpr DWORD kFreeSpaceReplyBytes = 32;
static_assert(kTimeZoneReplyBytes == 178);

// Writes the reply head: status, frame length, "I", item length.
void PutInfoHead(BYTE* out, DWORD total) {
  out[0] = STATUS_OK;
  PutBe16(out + 1, static_cast<WORD>(total));
  out[3] = TAG_INFO;
  PutBe16(out + 4, static_cast<WORD>(total - kFrameHeaderBytes));
}

void PutLe64(BYTE* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<BYTE>(v >> (8 * i));
}

BYTE SyncStateAnswer(const SyncSession& session, TrackingState& tracking) REQUIRES(TrackingState::systemLock) {
  // A database of the class made or deleted while the system ran leaves
  // the log incomplete whatever the sync state said.
  if (GetSyncState(tracking.syncStates, session.dwClass) == SyncStateTracking) {
    CheckClassDatabases(tracking, session.dwClass);
    // A clock set back before what the class recorded loses it.
    ClockKeepsOrder(tracking.syncStates, session.dwClass, CurrentTime());
  }
  DWORD state = GetSyncState(tracking.syncStates, session.dwClass);
  switch (state) {
    case SyncStateTracking:
      return session.dwSinceTime >= GetSyncTime(session.dwClass)
                 ? CHANGES_COMPLETE
                 : CHANGES_INCOMPLETE;
    case SyncStateLost:
      return CHANGES_INCOMPLETE;
    default:
      return CHANGES_UNTRACKED;
  }
}

DWORD ReplySyncState(const SyncSession& session, TrackingState& tracking, BYTE* out)
    REQUIRES(TrackingState::systemLock) {
  PutInfoHead(out, kSyncStateReplyBytes);
  out[6] = QUERY_SYNC_STATE;
  out[7] = SyncStateAnswer(session, tracking);
  return kSyncStateReplyBytes;
}

DWORD ReplyTimeZone(BYTE* out) {
  TIME_ZONE_INFORMATION tz;
  std::memset(&tz, 0, sizeof tz);
  GetTimeZoneInformation(&tz);  // a failure leaves it zero-filled
  PutInfoHead(out, kTimeZoneReplyBytes);
  std::memcpy(out + 6, &tz, sizeof tz);
  return kTimeZoneReplyBytes;
}

DWORD ReplyFreeSpace(const SyncSession& session, BYTE* out) {
  WORD volume = static_cast<WORD>(session.dwClass);
  LPCWSTR name = volume == 0 ? u"Storage Card" : volume == 1 ? u"Program Files" : nullptr;
  ULARGE_INTEGER available{}, total{}, free{};
  if (!GetDiskFreeSpaceExW(name, &available, &total, &free)) {
    available.QuadPart = total.QuadPart = free.QuadPart = 0;
  }
  PutInfoHead(out, kFreeSpaceReplyBytes);
  out[6] = static_cast<BYTE>(volume);
  out[7] = static_cast<BYTE>(volume >> 8);
  PutLe64(out + 8, available.QuadPart);
  PutLe64(out + 16, total.QuadPart);
  PutLe64(out + 24, free.QuadPart);
  return kFreeSpaceReplyBytes;
}

// The acknowledgement and the first change frame go out together.
int ReplyChanges(SyncSession& session, MessageBuffer& reply,
                 TrackingState& tracking) REQUIRES(TrackingState::systemLock) {
  ReplyStatusOnly(reply, STATUS_OK);
  session.fStreamStart = 1;
  session.fStreamDone = 0;
  session.dwState = SessionStateStreaming;
  return StreamChanges(session, reply, tracking);
}

}  // namespace

BYTE HandleQuery(SyncSession& session, TrackingState& tracking,
                 const BYTE* payload, DWORD cbPayload) {
  session.bLastOp = OP_NONE;
  if (session.dwState != SessionStateOpen) return STATUS_REFUSED;
  const BYTE* item = FindItem(TAG_INFO, payload, static_cast<WORD>(cbPayload));
  if (item == nullptr || !ItemFits(item, payload + cbPayload) ||
      GetBe16(item + 1) < kQueryItemMinBytes) {
    return STATUS_BAD_REQUEST;
  }
  const BYTE* fields = item + kItemHeaderBytes;
  BYTE subCode = fields[0];
  switch (subCode) {
    case QUERY_SYNC_STATE:
    case QUERY_CHANGES: {
      DWORD dataClass;
      if (!DataClassOfIndex(fields[1], &dataClass)) return STATUS_BAD_REQUEST;
      session.dwClass = dataClass;
      if (subCode == QUERY_CHANGES) {
        LoadClassChanges(tracking, dataClass);
        NoteStreamLists(session, tracking);
      }
      session.bLastOp = subCode;
      session.dwSinceTime = GetBe32(fields + 2);
      return STATUS_OK;
    }
    case QUERY_TIME_ZONE:
      session.bLastOp = QUERY_TIME_ZONE;
      return STATUS_OK;
    case QUERY_FREE_SPACE:
      session.bLastOp = QUERY_FREE_SPACE;
      session.dwClass = fields[1];
      return STATUS_OK;
    default:
      return STATUS_BAD_REQUEST;
  }
}

int ReplyQuery(SyncSession& session, MessageBuffer& reply,
               TrackingState& tracking, BYTE status) {
  assert(reply.Empty());
  BYTE* out = reply.Room(MessageBuffer::kCapacity);
  DWORD length = 0;
  if (status == STATUS_OK) {
    switch (session.bLastOp) {
      case QUERY_SYNC_STATE:
        length = ReplySyncState(session, tracking, out);
        break;
      case QUERY_CHANGES:
        return ReplyChanges(session, reply, tracking);
      case QUERY_TIME_ZONE:
        length = ReplyTimeZone(out);
        break;
      case QUERY_FREE_SPACE:
        length = ReplyFreeSpace(session, out);
        break;
      default:
        break;
    }
  }
  if (length == 0) length = PutStatusReply(out, status);
  reply.Add(length);
  return 1;
}
