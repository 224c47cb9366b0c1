#include "server/remote_db.h"

#include <cassert>
#include <cstring>
#include <string>

#include "platform/kernel.h"
#include "platform/object_store.h"
#include "server/message_buffer.h"
#include "server/protocol.h"
#include "server/record_encoding.h"
#include "server/request.h"
#include "server/sync_session.h"

namespace {

constexpr DWORD kOpenNameOffset = 12;

// The most bytes a native read buffer can take for a record whose transfer
// form (header included) fits in `room`. The block is the read buffer less 8
// bytes per property, and every property takes at least a 24-byte native
// entry, so the buffer is at most 1.5 times the block.
DWORD NativeBytesFor(DWORD room) { return room + room / 2; }

// Reply of 10 and 12: status, length, "I", item length, sub-code, two words.
constexpr DWORD kRemoteReplyBytes = 15;

// The name at the end of an open item: UTF-16 little-endian, up to its NUL
// or the end of the item, whichever comes first.
std::u16string NameFromItem(const BYTE* item, DWORD cbItem) {
  std::u16string name;
  for (DWORD at = kOpenNameOffset; at + 1 < cbItem; at += 2) {
    char16_t c = static_cast<char16_t>(item[at] | (item[at + 1] << 8));
    if (c == 0) break;
    name.push_back(c);
  }
  return name;
}

}  // namespace

BYTE HandleOpenDb(SyncSession& session, TrackingState&, const Request& request) {
  RemoteDbHandles& handles = session.remoteDbs;
  const BYTE* item = request.info.bytes;
  const DWORD cbItem = request.info.size;
  assert(cbItem >= kOpenDbItemBytes);
  session.bLastOp = CMD_OPEN_DB;
  session.hRemoteDb = 0;
  session.oidRemoteDb = GetBe32(item + 1);
  DWORD flags = GetBe32(item + 5);
  // The platform looks at the name only when the identifier is 0.
  std::u16string name;
  if (session.oidRemoteDb == 0) name = NameFromItem(item, cbItem);
  CEOID oid = session.oidRemoteDb;
  session.hRemoteDb = CeOpenDatabase(&oid, name.c_str(), 0, flags, 0);
  session.oidRemoteDb = oid;
  handles.Add(session.hRemoteDb);
  return STATUS_OK;
}

BYTE HandleCloseDb(SyncSession& session, TrackingState&, const Request& request) {
  RemoteDbHandles& handles = session.remoteDbs;
  const BYTE* item = request.info.bytes;
  assert(request.info.size >= kHandleItemBytes);
  session.bLastOp = CMD_CLOSE_DB;
  HANDLE handle = GetBe32(item + 1);
  if (handles.Remove(handle)) CloseHandle(handle);
  return STATUS_OK;
}

BYTE HandleSeekDb(SyncSession& session, TrackingState&, const Request& request) {
  RemoteDbHandles& handles = session.remoteDbs;
  const BYTE* item = request.info.bytes;
  assert(request.info.size >= kSeekDbItemBytes);
  session.bLastOp = CMD_SEEK_DB;
  session.dwSeekIndex = 0xFFFFFFFF;
  session.oidRecord = 0;
  HANDLE handle = GetBe32(item + 1);
  if (!handles.Contains(handle)) return STATUS_OK;
  DWORD index = session.dwSeekIndex;
  session.oidRecord =
      CeSeekDatabase(handle, GetBe32(item + 5), GetBe32(item + 9), &index);
  session.dwSeekIndex = index;
  return STATUS_OK;
}

BYTE HandleReadRecords(SyncSession& session, TrackingState&, const Request& request) {
  RemoteDbHandles& handles = session.remoteDbs;
  const BYTE* item = request.info.bytes;
  assert(request.info.size >= kHandleItemBytes);
  session.bLastOp = CMD_READ_RECORDS;
  session.cbRecords = 0;
  session.cRecords = 0;
  HANDLE handle = GetBe32(item + 1);
  if (!handles.Contains(handle)) return STATUS_OK;

  // Each read goes into a buffer just large enough for any record that can
  // still fit; a larger record fails to read without moving the position,
  // which spares the seek back (a seek by identifier counts its way to the
  // record's index, a cost that grows with the database).
  LPBYTE buffer = static_cast<LPBYTE>(LocalAlloc(LMEM_FIXED, NativeBytesFor(session.cbRecordsMax)));
  if (buffer == nullptr) return STATUS_OK;  // read nothing: an empty batch
  for (;;) {
    DWORD room = session.cbRecordsMax - session.cbRecords;
    WORD cProps = 0;
    DWORD cbBuffer = NativeBytesFor(room);
    CEOID oid = CeReadRecordProps(handle, 0, &cProps, nullptr, &buffer, &cbBuffer);
    session.oidRecord = oid;
    // 0: the end, a read error, or a record too large for the room left.
    if (oid == 0) break;
    DWORD written = AppendTransferRecord(oid, buffer, cbBuffer, cProps,
                                         session.pRecords + session.cbRecords,
                                         room);
    if (written == 0) {
      // Read, but too large once converted: make it the current record
      // again so that the next batch starts with it and nothing is lost.
      DWORD scratch = 0;
      session.oidRecord = CeSeekDatabase(handle, CEDB_SEEK_CEOID, oid, &scratch);
      break;
    }
    session.cbRecords += written;
    session.cRecords += 1;
  }
  LocalFree(buffer);
  return STATUS_OK;
}

namespace {

// The 15-byte head shared by the replies of 10, 12 and 13, for a reply of
// `total` bytes.
void PutReplyHead(BYTE* out, BYTE status, BYTE subCode, DWORD total,
                  DWORD first, DWORD second) {
  out[0] = status;
  PutBe16(out + 1, static_cast<WORD>(total));
  out[3] = TAG_INFO;
  PutBe16(out + 4, static_cast<WORD>(total - kFrameHeaderBytes));
  out[6] = subCode;
  PutBe32(out + 7, first);
  PutBe32(out + 11, second);
}

}  // namespace

int ReplyOpenDb(SyncSession& session, TrackingState&, BYTE status, MessageBuffer& reply) {
  PutReplyHead(reply.Room(kRemoteReplyBytes), status, CMD_OPEN_DB, kRemoteReplyBytes,
               session.hRemoteDb, session.oidRemoteDb);
  reply.Add(kRemoteReplyBytes);
  return 1;
}

int ReplySeekDb(SyncSession& session, TrackingState&, BYTE status, MessageBuffer& reply) {
  PutReplyHead(reply.Room(kRemoteReplyBytes), status, CMD_SEEK_DB, kRemoteReplyBytes,
               session.dwSeekIndex, session.oidRecord);
  reply.Add(kRemoteReplyBytes);
  return 1;
}

int ReplyReadRecords(SyncSession& session, TrackingState&, BYTE status, MessageBuffer& reply) {
  // cbRecords never passes cbRecordsMax (2033), so the reply stays within
  // the 2048-byte message buffer.
  assert(session.cbRecords <= session.cbRecordsMax);
  const DWORD total = kRemoteReplyBytes + session.cbRecords;
  BYTE* out = reply.Room(total);
  PutReplyHead(out, status, CMD_READ_RECORDS, total, session.cRecords, session.cbRecords);
  if (session.cbRecords != 0) {
    std::memcpy(out + kRemoteReplyBytes, session.pRecords, session.cbRecords);
  }
  reply.Add(total);
  return 1;
}
