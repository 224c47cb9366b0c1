#include "server/sync_session.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel.h"
#include "server/change_stream.h"
#include "server/commands.h"
#include "server/protocol.h"
#include "server/queries.h"
#include "server/sync_server.h"
#include "tracking/tracking_state.h"

SyncSession::SyncSession()
    : fStreamStart(0),
      fStreamDone(0),
      dwClass(0),
      dwSinceTime(0),
      bLastOp(OP_NONE),
      dwState(SessionStateNone),
      pStreamDb(nullptr),
      hAlarm(0),
      hRemoteDb(0),
      oidRemoteDb(0),
      oidRecord(0),
      dwSeekIndex(0),
      cbRecords(0),
      cbRecordsMax(kRecordBufferBytes),
      pRecords(static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, kRecordBufferBytes))),
      cRecords(0) {
  // Without a buffer, a capacity of 0 keeps every reader of pRecords from
  // writing into it.
  if (pRecords == nullptr) cbRecordsMax = 0;
}

SyncSession::~SyncSession() {
  if (pRecords != nullptr) LocalFree(pRecords);
}

namespace {

void ClearCaptureFlags(TrackingState& tracking) {
  tracking.capture.fCaptureSuppressed.store(0);
  tracking.capture.fCaptureLocked.store(0);
}

int ReplyStatusOnly(SyncServer& server, BYTE status) {
  server.cbData = static_cast<int32_t>(PutStatusReply(server.pbBuffer, status));
  return 1;
}

// The fixed size of an item whose tag is 0x80 or above: the two top bits 10
// give tag and one byte, 11 give tag and four bytes.
WORD FixedItemBytes(BYTE tag) { return (tag & 0x40) ? 5 : 2; }

// The payload's bytes of the frame at `frame`: it ends where the length
// field says, but never past the `received` bytes (at least the header); a
// length field under 3 leaves no payload.
DWORD PayloadBytes(const BYTE* frame, DWORD received) {
  const DWORD frameBytes = std::min<DWORD>(GetBe16(frame + 1), received);
  return frameBytes > kFrameHeaderBytes ? frameBytes - kFrameHeaderBytes : 0;
}

}  // namespace

bool ItemFits(const BYTE* item, const BYTE* end) {
  if (end - item < static_cast<ptrdiff_t>(kItemHeaderBytes)) return false;
  WORD length = GetBe16(item + 1);
  return length >= kItemHeaderBytes && length <= end - item;
}

const BYTE* FindItem(BYTE tag, const BYTE* items, WORD count) {
  // Each step either advances by at least 2 bytes and shrinks count by the
  // same amount, or ends the search; nothing past count bytes is read.
  while (count != 0) {
    if (items[0] == tag) return items;
    WORD step;
    if (items[0] < 0x80) {
      if (count < kItemHeaderBytes) return nullptr;
      step = GetBe16(items + 1);
      if (step < kItemHeaderBytes) return nullptr;
    } else {
      step = FixedItemBytes(items[0]);
    }
    if (step > count) return nullptr;
    items += step;
    count = static_cast<WORD>(count - step);
  }
  return nullptr;
}

BYTE HandleHello(SyncSession& session, TrackingState& tracking,
                 const BYTE* payload, DWORD cbPayload) {
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
  ClearCaptureFlags(tracking);
  return STATUS_OK;
}

int ReplyHello(SyncSession& session, SyncServer& server, BYTE status) {
  BYTE* out = server.pbBuffer;
  out[0] = status;
  PutBe16(out + 1, static_cast<WORD>(kHelloReplyBytes));
  out[3] = kHelloVersion;
  out[4] = 0x00;
  PutBe16(out + 5, static_cast<WORD>(server.cbBuffer));
  out[7] = TAG_INFO;
  PutBe16(out + 8, 4);
  out[10] = kHelloReplyInfo;
  server.cbData = static_cast<int32_t>(kHelloReplyBytes);
  return 1;
}

BYTE HandleEndSession(SyncSession& session, TrackingState& tracking,
                      const BYTE* payload, DWORD cbPayload) {
  // The shutdown byte is the first payload byte of an "I" item that must
  // open the payload; that item's length field is not looked at.
  if (cbPayload >= 4 && payload[0] == TAG_INFO && payload[3] != 0)
    session.dwState = SessionStateShutdown;
  if (session.dwState != SessionStateShutdown)
    session.dwState = SessionStateEnded;
  ClearCaptureFlags(tracking);
  return STATUS_OK;
}

int ReplyEndSession(SyncSession& session, SyncServer& server, BYTE status) {
  return ReplyStatusOnly(server, status);
}

bool MessageWritesStore(const SyncSession& session, const BYTE* frame, int32_t received) {
  if (received < static_cast<int32_t>(kFrameHeaderBytes)) return false;
  if (session.dwState != SessionStateOpen || frame[0] != MSG_COMMAND) return false;
  return CommandWritesStore(frame + kFrameHeaderBytes,
                            PayloadBytes(frame, static_cast<DWORD>(received)));
}

int ReplyMessageNotKept(SyncSession& session, SyncServer& server, TrackingState& tracking) {
  return ReplyCommandNotKept(session, server, tracking);
}

int HandleMessage(SyncSession& session, SyncServer& server,
                  TrackingState& tracking) {
  if (server.cbData < static_cast<int32_t>(kFrameHeaderBytes))
    return ReplyStatusOnly(server, STATUS_UNRECOGNISED);

  const BYTE type = server.pbBuffer[0];
  if (session.dwState == SessionStateStreaming) {
    if (type != ACK_CONTINUE && type != STATUS_OK) return 0;
    if (session.fStreamDone) {
      session.dwState = SessionStateOpen;
      return 0;
    }
    return StreamChanges(session, server, tracking);
  }
  if (type < MSG_HELLO || type > MSG_QUERY)
    return ReplyStatusOnly(server, STATUS_UNRECOGNISED);

  // Handlers read all they need before the reply is written over the
  // request.
  const DWORD cbPayload = PayloadBytes(server.pbBuffer, static_cast<DWORD>(server.cbData));
  const BYTE* payload = server.pbBuffer + kFrameHeaderBytes;

  switch (type) {
    case MSG_HELLO:
      return ReplyHello(session, server,
                        HandleHello(session, tracking, payload, cbPayload));
    case MSG_END_SESSION:
      return ReplyEndSession(
          session, server,
          HandleEndSession(session, tracking, payload, cbPayload));
    case MSG_COMMAND:
      return ReplyCommand(session, server, tracking,
                          HandleCommand(session, tracking, payload, cbPayload));
    default:  // MSG_QUERY
      return ReplyQuery(session, server, tracking,
                        HandleQuery(session, tracking, payload, cbPayload));
  }
}

void EndConnection(SyncSession& session, TrackingState& tracking) {
  ClearCaptureFlags(tracking);
  session.fStreamStart = 0;
  session.fStreamDone = 1;
  session.pStreamDb = nullptr;
  session.bLastOp = OP_NONE;
  session.dwState = SessionStateNone;
}
