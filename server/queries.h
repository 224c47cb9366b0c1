// Queries (first byte 0x83): the sync state of a class, the changes of a
// class since a time (which starts a change stream), the time zone and the
// free space of a volume. Served only in SessionStateOpen.
//
// The request's "I" item holds at least 9 bytes (its length field counts
// the 3 header bytes): sub-code, class or volume index, a 32-bit big-endian
// time; fields a sub-code does not use must still be there.
//
// Replies:
//   4  (sync state)  8 bytes: 0xA0 0x0008 "I" 0x0005 0x04 answer
//   5  (changes)     0xA0 0x00 0x03 sent at once, then the first change
//                    frame (server/change_stream.h) as the reply
//   8  (time zone)   178 bytes: 0xA0 0x00B2 "I" 0x00AF and the device's
//                    172-byte TIME_ZONE_INFORMATION, little-endian
//   15 (free space)  32 bytes: 0xA0 0x0020 "I" 0x001D, the volume index
//                    (16-bit little-endian), then available, total and
//                    free bytes (64-bit little-endian; 0 when the query
//                    fails). Volume 0 is "Storage Card", 1 "Program Files",
//                    any other the object store (no name).
//   refused or malformed: status, 0x00, 0x03.
//
// Threads: the server's worker, with systemLock held.
#ifndef HOLLOWMARCH_SERVER_QUERIES_H_
#define HOLLOWMARCH_SERVER_QUERIES_H_

#include "platform/types.h"
#include "tracking/tracking_state.h"

struct SyncSession;
class MessageBuffer;

// Bytes a query's "I" item must hold, header included.
constexpr DWORD kQueryItemMinBytes = 9;

// Reads the query from `payload` (the frame's payload, `cbPayload` bytes,
// never read past) and records what the reply must hold in the session
// (bLastOp, dwClass, dwSinceTime); the change query also loads the class's
// change lists. Returns STATUS_OK; STATUS_BAD_REQUEST for a missing or short
// "I" item (or one running past the payload), an unknown sub-code or a class
// index above 4 (dwClass then keeps its value); STATUS_REFUSED outside
// SessionStateOpen. Only bLastOp changes when the query is refused.
BYTE HandleQuery(SyncSession& session, TrackingState& tracking,
                 const BYTE* payload, DWORD cbPayload) REQUIRES(TrackingState::systemLock);

// Appends the reply for `status` to `reply`, which must be empty; non-zero.
// The change query's reply is its acknowledgement followed by the first
// change frame (StreamChanges), the session now streaming.
int ReplyQuery(SyncSession& session, MessageBuffer& reply,
               TrackingState& tracking, BYTE status) REQUIRES(TrackingState::systemLock);

#endif  // HOLLOWMARCH_SERVER_QUERIES_H_
