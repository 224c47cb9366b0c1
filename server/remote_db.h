// Remote database access: the commands with which the peer opens any
// object-store database of the device, positions in it, reads its records in
// batches (in the transfer form of server/record_encoding.h) and closes it.
//
//   10 open   item: sub-code, oid (4, 0 opens by name), open flags (4),
//             3 bytes not read, then the name (UTF-16 little-endian)
//   11 close  item: sub-code, handle (4)
//   12 seek   item: sub-code, handle (4), seek type (4), seek value (4)
//   13 read   item: sub-code, handle (4)
// All numbers big-endian. Each handler reads the request's "I" item (from
// the sub-code on) and nothing past it; the dispatcher
// (server/message_dispatch.h) refuses an item too short for its sub-code's
// numbers (the sizes below) with STATUS_BAD_REQUEST before any handler runs,
// so nothing changes then. A name that runs to the end of the item without
// its NUL ends there.
//
// Handles: only a handle that command 10 handed out and that has not been
// closed through command 11 is passed to the platform (`handles`, see
// server/remote_db_handles.h). Any other handle behaves as an invalid
// handle: close still answers STATUS_OK, seek answers record 0 with index
// 0xFFFFFFFF, read answers an empty batch.
//
// Threads: the server's worker, with systemLock held.
#ifndef HOLLOWMARCH_SERVER_REMOTE_DB_H_
#define HOLLOWMARCH_SERVER_REMOTE_DB_H_

#include "platform/types.h"
#include "server/remote_db_handles.h"

struct SyncSession;
struct Request;
class TrackingState;
class MessageBuffer;

// Item sizes each sub-code needs for its numbers.
constexpr DWORD kOpenDbItemBytes = 9;    // 10: sub-code, oid, flags
constexpr DWORD kHandleItemBytes = 5;    // 11, 13: sub-code, handle
constexpr DWORD kSeekDbItemBytes = 13;   // 12: sub-code, handle, type, value

// Each sets session.bLastOp to its sub-code and returns STATUS_OK; they act
// on the handles the peer holds (session.remoteDbs).
//
// Open: hRemoteDb and oidRemoteDb from CeOpenDatabase (the handle
// INVALID_HANDLE_VALUE when the open failed; the identifier the platform
// filled in when opened by name). A handle opened here stays open, across
// connections, until the peer closes it.
BYTE HandleOpenDb(SyncSession& session, TrackingState& tracking, const Request& request);
// Close: closes the handle when it is one the peer holds. hRemoteDb is left
// alone.
BYTE HandleCloseDb(SyncSession& session, TrackingState& tracking, const Request& request);
// Seek: oidRecord and dwSeekIndex from CeSeekDatabase with the peer's seek
// type and value (0 and 0xFFFFFFFF before the call).
BYTE HandleSeekDb(SyncSession& session, TrackingState& tracking, const Request& request);
// Read: fills session.pRecords (cbRecordsMax bytes) with as many whole
// records from the handle's position on as fit, each in transfer form;
// cRecords and cbRecords count them; oidRecord is the last record read (0
// at the end). A record that does not fit stays the current record (it is
// either not read at all or sought back to), so the next read starts with
// it; a record too large for an empty buffer therefore always gives an
// empty batch. A read error, or a read buffer that cannot be allocated, ends
// the batch like the end of the database.
BYTE HandleReadRecords(SyncSession& session, TrackingState& tracking, const Request& request);

// The replies of commands 10, 12 and 13 after their handler accepted,
// appended to the empty `reply`; non-zero.
//   10: status, 0x000F, "I", 0x000C, 0x0A, hRemoteDb, oidRemoteDb
//   12: status, 0x000F, "I", 0x000C, 0x0C, dwSeekIndex, oidRecord
//   13: status, 15 + cbRecords, "I", 12 + cbRecords, 0x0D, cRecords,
//       cbRecords, then the records
int ReplyOpenDb(SyncSession& session, TrackingState& tracking, BYTE status, MessageBuffer& reply);
int ReplySeekDb(SyncSession& session, TrackingState& tracking, BYTE status, MessageBuffer& reply);
int ReplyReadRecords(SyncSession& session, TrackingState& tracking, BYTE status,
                     MessageBuffer& reply);

#endif  // HOLLOWMARCH_SERVER_REMOTE_DB_H_
