// Remote database access: the commands with which the peer opens any
// object-store database of the device, positions in it, reads its records in
// batches (in the transfer form of server/record_encoding.h) and closes it.
//
//   10 open   item: sub-code, oid (4, 0 opens by name), open flags (4),
//             3 bytes not read, then the name (UTF-16 little-endian)
//   11 close  item: sub-code, handle (4)
//   12 seek   item: sub-code, handle (4), seek type (4), seek value (4)
//   13 read   item: sub-code, handle (4)
// All numbers big-endian. `item` below is the "I" item's payload (from the
// sub-code on) and `cbItem` its length; nothing past it is read. An item too
// short for its sub-code's numbers is refused with STATUS_BAD_REQUEST and
// changes nothing. A name that runs to the end of the item without its NUL
// ends there.
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

// Each sets session.bLastOp to its sub-code when it accepts the item and
// returns STATUS_OK, or returns STATUS_BAD_REQUEST for a short item.
//
// Open: hRemoteDb and oidRemoteDb from CeOpenDatabase (the handle
// INVALID_HANDLE_VALUE when the open failed; the identifier the platform
// filled in when opened by name). A handle opened here stays open, across
// connections, until the peer closes it.
BYTE HandleOpenDb(SyncSession& session, RemoteDbHandles& handles,
                  const BYTE* item, DWORD cbItem);
// Close: closes the handle when it is one the peer holds. hRemoteDb is left
// alone.
BYTE HandleCloseDb(SyncSession& session, RemoteDbHandles& handles,
                   const BYTE* item, DWORD cbItem);
// Seek: oidRecord and dwSeekIndex from CeSeekDatabase with the peer's seek
// type and value (0 and 0xFFFFFFFF before the call).
BYTE HandleSeekDb(SyncSession& session, RemoteDbHandles& handles,
                  const BYTE* item, DWORD cbItem);
// Read: fills session.pRecords (cbRecordsMax bytes) with as many whole
// records from the handle's position on as fit, each in transfer form;
// cRecords and cbRecords count them; oidRecord is the last record read (0
// at the end). A record that does not fit stays the current record (it is
// either not read at all or sought back to), so the next read starts with
// it; a record too large for an empty buffer therefore always gives an
// empty batch. A read error, or a read buffer that cannot be allocated, ends
// the batch like the end of the database.
BYTE HandleReadRecords(SyncSession& session, RemoteDbHandles& handles,
                       const BYTE* item, DWORD cbItem);

// Writes the reply of command 10, 12 or 13 (by session.bLastOp) with
// `status` at `out`, which has room for 15 + session.cbRecordsMax bytes, and
// returns its length; 0 when bLastOp is none of them.
//   10: status, 0x000F, "I", 0x000C, 0x0A, hRemoteDb, oidRemoteDb
//   12: status, 0x000F, "I", 0x000C, 0x0C, dwSeekIndex, oidRecord
//   13: status, 15 + cbRecords, "I", 12 + cbRecords, 0x0D, cRecords,
//       cbRecords, then the records
DWORD ReplyRemoteDb(const SyncSession& session, BYTE status, BYTE* out);

#endif  // HOLLOWMARCH_SERVER_REMOTE_DB_H_
