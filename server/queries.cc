#include "server/queries.h"

#include <bit>
#include <cassert>
#include <cstring>

#include "platform/system_info.h"
#include "server/change_stream.h"
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

// Query 4 or 5: selects the class; false for an index past the list.
bool SelectQueryClass(SyncSession& session, const Request& request) {
  assert(request.info.size >= kQueryItemMinBytes - kItemHeaderBytes);
  DWORD dataClass;
  if (!DataClassOfIndex(request.info.bytes[1], &dataClass)) return false;
  session.dwClass = dataClass;
  return true;
}

// The peer's time of query 4 or 5.
DWORD SinceTime(const Request& request) { return GetBe32(request.info.bytes + 2); }

}  // namespace

BYTE HandleSyncStateQuery(SyncSession& session, TrackingState&, const Request& request) {
  if (!SelectQueryClass(session, request)) return STATUS_BAD_REQUEST;
  session.bLastOp = QUERY_SYNC_STATE;
  session.dwSinceTime = SinceTime(request);
  return STATUS_OK;
}

int ReplySyncStateQuery(SyncSession& session, TrackingState& tracking, BYTE,
                        MessageBuffer& reply) {
  reply.Add(ReplySyncState(session, tracking, reply.Room(kSyncStateReplyBytes)));
  return 1;
}

BYTE HandleChangesQuery(SyncSession& session, TrackingState& tracking, const Request& request) {
  if (!SelectQueryClass(session, request)) return STATUS_BAD_REQUEST;
  LoadClassChanges(tracking, session.dwClass);
  NoteStreamLists(session, tracking);
  session.bLastOp = QUERY_CHANGES;
  session.dwSinceTime = SinceTime(request);
  return STATUS_OK;
}

// The acknowledgement and the first change frame go out together.
int ReplyChangesQuery(SyncSession& session, TrackingState& tracking, BYTE,
                      MessageBuffer& reply) {
  ReplyStatusOnly(reply, STATUS_OK);
  session.fStreamStart = 1;
  session.fStreamDone = 0;
  session.dwState = SessionStateStreaming;
  return StreamChanges(session, reply, tracking);
}

BYTE HandleTimeZoneQuery(SyncSession& session, TrackingState&, const Request&) {
  session.bLastOp = QUERY_TIME_ZONE;
  return STATUS_OK;
}

int ReplyTimeZoneQuery(SyncSession&, TrackingState&, BYTE, MessageBuffer& reply) {
  reply.Add(ReplyTimeZone(reply.Room(kTimeZoneReplyBytes)));
  return 1;
}

BYTE HandleFreeSpaceQuery(SyncSession& session, TrackingState&, const Request& request) {
  session.bLastOp = QUERY_FREE_SPACE;
  session.dwClass = request.info.bytes[1];
  return STATUS_OK;
}

int ReplyFreeSpaceQuery(SyncSession& session, TrackingState&, BYTE, MessageBuffer& reply) {
  reply.Add(ReplyFreeSpace(session, reply.Room(kFreeSpaceReplyBytes)));
  return 1;
}
