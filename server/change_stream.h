// The change stream: the recorded changes of the selected class from the
// peer's time on, one frame per acknowledgement of the peer.
//
// Frame: first byte MSG_CHANGES (0x02) with tag "H" while more frames
// follow, MSG_CHANGES_LAST (0x82) with tag "I" for the last one; a 16-bit
// frame length (6 + 21 * n), the tag, a 16-bit item length (3 + 21 * n) and
// n records of 21 bytes, all big-endian: change type, time, reserved word,
// uid, the oid of the database that holds the record, the record's oid.
// Records are added while the frame plus one more record stays within the
// server's buffer (at most 97 records, 2,043 bytes); a full frame is always
// followed by at least a last frame, which may be empty.
//
// Order: every tracked database of the class in table order, each one's
// change list newest first; entries older than the peer's time are passed
// over without ending the walk. The session's ChangeReader
// (tracking/change_reader.h) keeps the place between two frames, whatever
// the window thread does to the lists meanwhile: no removed entry is read,
// no entry is sent twice, every entry that stays after the place is sent,
// and a list released between frames is loaded again and read on after
// what was sent. Changes captured during a stream are not sent: appending
// never touches a loaded list, and they stay in the log for the next sync.
//
// Threads: the server's worker, with systemLock held.
#ifndef HOLLOWMARCH_SERVER_CHANGE_STREAM_H_
#define HOLLOWMARCH_SERVER_CHANGE_STREAM_H_

#include "platform/types.h"
#include "server/protocol.h"
#include "tracking/tracking_state.h"

struct SyncSession;
class MessageBuffer;

// The size of one change record in a frame, and of a frame's header.
constexpr DWORD kChangeRecordBytes = 21;
constexpr DWORD kChangeFrameHeaderBytes = 6;
// The longest change frame: as many records as fit the peer's buffer.
constexpr DWORD kChangeFrameMaxBytes =
    kChangeFrameHeaderBytes +
    (kMessageBufferBytes - kChangeFrameHeaderBytes) / kChangeRecordBytes * kChangeRecordBytes;

// Notes the change lists of the selected class (session.dwClass), right
// after the change query has loaded them, so that the stream can tell a
// list released since (ChangeReader::NoteLists).
void NoteStreamLists(SyncSession& session, TrackingState& tracking)
    REQUIRES(TrackingState::systemLock);

// Appends the next change frame (at most kChangeFrameMaxBytes) to `reply`,
// which must have room for it, and returns non-zero; returns zero, writing
// nothing, when
// the stream is done and no new one was started (fStreamStart clear and
// fStreamDone set). With fStreamStart set, the stream starts at the newest
// entry of the class's first node. Sets fStreamDone with the last frame.
int StreamChanges(SyncSession& session, MessageBuffer& reply,
                  TrackingState& tracking) REQUIRES(TrackingState::systemLock);

#endif  // HOLLOWMARCH_SERVER_CHANGE_STREAM_H_
