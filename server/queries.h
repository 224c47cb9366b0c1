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
// The dispatcher (server/message_dispatch.h) refuses a query outside
// SessionStateOpen (0xD3), one with a missing or short "I" item, or an
// unknown sub-code (0xC0), before any handler below runs. Each handler sets
// bLastOp to its sub-code and returns STATUS_OK, or returns
// STATUS_BAD_REQUEST for a class index above 4 (dwClass then keeps its
// value). A reply is called only after its handler accepted, appends to the
// empty `reply` and returns non-zero.
//
// Threads: the server's worker, with systemLock held.
#ifndef HOLLOWMARCH_SERVER_QUERIES_H_
#define HOLLOWMARCH_SERVER_QUERIES_H_

#include "platform/types.h"
#include "tracking/tracking_state.h"

struct SyncSession;
struct Request;
class MessageBuffer;

// Bytes a query's "I" item must hold, header included.
constexpr DWORD kQueryItemMinBytes = 9;

// 4: dwClass and dwSinceTime noted; the reply checks the class and answers.
BYTE HandleSyncStateQuery(SyncSession& session, TrackingState& tracking, const Request& request)
    REQUIRES(TrackingState::systemLock);
int ReplySyncStateQuery(SyncSession& session, TrackingState& tracking, BYTE status,
                        MessageBuffer& reply) REQUIRES(TrackingState::systemLock);
// 5: as 4, and the class's change lists loaded. The reply is the
// acknowledgement followed by the first change frame (StreamChanges), the
// session now streaming.
BYTE HandleChangesQuery(SyncSession& session, TrackingState& tracking, const Request& request)
    REQUIRES(TrackingState::systemLock);
int ReplyChangesQuery(SyncSession& session, TrackingState& tracking, BYTE status,
                      MessageBuffer& reply) REQUIRES(TrackingState::systemLock);
// 8: the time zone.
BYTE HandleTimeZoneQuery(SyncSession& session, TrackingState& tracking, const Request& request);
int ReplyTimeZoneQuery(SyncSession& session, TrackingState& tracking, BYTE status,
                       MessageBuffer& reply);
// 15: the volume index kept in dwClass.
BYTE HandleFreeSpaceQuery(SyncSession& session, TrackingState& tracking, const Request& request);
int ReplyFreeSpaceQuery(SyncSession& session, TrackingState& tracking, BYTE status,
                        MessageBuffer& reply);

#endif  // HOLLOWMARCH_SERVER_QUERIES_H_
