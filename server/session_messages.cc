#include "server/session_messages.h"

#include <cstring>

#include "server/framing.h"
#include "server/message_buffer.h"
#include "server/protocol.h"
#include "server/request.h"
#include "server/sync_session.h"
#include "tracking/tracking_state.h"

BYTE HandleHello(SyncSession& session, TrackingState& tracking, const Request& request) {
  const BYTE* payload = request.payload.bytes;
  const DWORD cbPayload = request.payload.size;
  if (cbPayload < kHelloPrefixBytes) return STATUS_BAD_REQUEST;
  if (payload[0] != kHelloVersion) return STATUS_BAD_REQUEST;
  if (GetBe16(payload + 2) < kMessageBufferBytes) return STATUS_BAD_REQUEST;

  const BYTE* items = payload + kHelloPrefixBytes;
  const BYTE* end = payload + cbPayload;
  const BYTE* id = FindItem(TAG_IDENTITY, items,
                            static_cast<WORD>(cbPayload - kHelloPrefixBytes));
  if (id == nullptr || !ItemFits(id, end)) return STATUS_REFUSED;
  // Only the identification's own bytes are compared; whatever follows them
  // in the item is not looked at.
  if (GetBe16(id + 1) - kItemHeaderBytes < kPeerIdentificationBytes)
    return STATUS_REFUSED;
  if (std::memcmp(id + kItemHeaderBytes, kPeerIdentification,
                  kPeerIdentificationBytes) != 0)
    return STATUS_REFUSED;

  session.dwState = SessionStateOpen;
  tracking.capture.Clear();
  return STATUS_OK;
}

int ReplyHello(SyncSession&, TrackingState&, BYTE status, MessageBuffer& reply) {
  BYTE* out = reply.Room(kHelloReplyBytes);
  out[0] = status;
  PutBe16(out + 1, static_cast<WORD>(kHelloReplyBytes));
  out[3] = kHelloVersion;
  out[4] = 0x00;
  PutBe16(out + 5, static_cast<WORD>(MessageBuffer::kCapacity));
  out[7] = TAG_INFO;
  PutBe16(out + 8, 4);
  out[10] = kHelloReplyInfo;
  reply.Add(kHelloReplyBytes);
  return 1;
}

BYTE HandleEndSession(SyncSession& session, TrackingState& tracking, const Request& request) {
  const BYTE* payload = request.payload.bytes;
  const DWORD cbPayload = request.payload.size;
  // The shutdown byte is the first payload byte of an "I" item that must
  // open the payload; that item's length field is not looked at.
  if (cbPayload >= 4 && payload[0] == TAG_INFO && payload[3] != 0)
    session.dwState = SessionStateShutdown;
  if (session.dwState != SessionStateShutdown)
    session.dwState = SessionStateEnded;
  tracking.capture.Clear();
  return STATUS_OK;
}

void EndConnection(SyncSession& session, TrackingState& tracking) {
  tracking.capture.Clear();
  session.fStreamStart = 0;
  session.fStreamDone = 1;
  session.changes.Stop();
  session.bLastOp = OP_NONE;
  session.dwState = SessionStateNone;
}
