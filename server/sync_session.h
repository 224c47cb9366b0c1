// The protocol state carried from message to message, the dispatcher that
// the server's worker calls for every received message, the item search,
// and the two messages that open and close a session: hello and end of
// session.
//
// Threads: everything here runs on the server's worker with systemLock
// (tracking/tracking_state.h) held, one message at a time; tests and the fuzzer
// take the lock the same way. The capture flags are atomic and shared with
// the window thread.
#ifndef HOLLOWMARCH_SERVER_SYNC_SESSION_H_
#define HOLLOWMARCH_SERVER_SYNC_SESSION_H_

#include "platform/types.h"
#include "server/change_stream_resume.h"
#include "server/remote_db_handles.h"
#include "tracking/tracking_state.h"

struct TrackedDb;
class SyncServer;

// Session states (SyncSession::dwState). There is no state 4.
enum : DWORD {
  SessionStateNone = 0,       // no hello accepted yet
  SessionStateOpen = 1,       // hello accepted; queries and commands served
  SessionStateEnded = 2,      // end of session received
  SessionStateStreaming = 3,  // a change stream is under way
  SessionStateShutdown = 5,   // end of session asked the application to close
};

// Capacity of the remote-database record buffer: the message buffer less
// the 15 header bytes of the read-records reply.
constexpr DWORD kRecordBufferBytes = 2033;

// One object for the whole process, created at start-up and destroyed at
// exit. Plain data; the fields are read and written by the protocol
// handlers.
struct SyncSession {
  // Every field zero but bLastOp (OP_NONE), cbRecordsMax (2033) and pRecords
  // (a zero-filled block of cbRecordsMax bytes from LocalAlloc; null, with
  // cbRecordsMax 0, when it cannot be had: the remote read then has no
  // buffer to fill and must refuse).
  SyncSession();
  // Frees pRecords.
  ~SyncSession();
  SyncSession(const SyncSession&) = delete;
  SyncSession& operator=(const SyncSession&) = delete;

  DWORD fStreamStart;         // the next change frame starts a new stream
  DWORD fStreamDone;          // the last change frame has been built
  DWORD dwClass;              // selected data class (or a volume index)
  DWORD dwSinceTime;          // the peer's time of query 4 or 5
  BYTE bLastOp;               // sub-code whose reply is pending, or OP_NONE
  DWORD dwState;              // Session* state above
  TrackedDb* pStreamDb;       // node the change stream is on, or null
  HANDLE hAlarm;              // handle from the last alarm command
  HANDLE hRemoteDb;           // handle from the last open-database command
  CEOID oidRemoteDb;          // database of the last open-database command
  CEOID oidRecord;            // record of the last seek or read
  DWORD dwSeekIndex;          // record index of the last seek
  DWORD cbRecords;            // bytes used in pRecords
  DWORD cbRecordsMax;         // capacity of pRecords
  BYTE* pRecords;             // the record buffer, owned
  DWORD cRecords;             // records in pRecords
  // The database handles the peer holds from the open-database command;
  // the remote database commands act on no other (server/remote_db.h).
  RemoteDbHandles remoteDbs;
  // How the change stream finds its place again in a list that the window
  // thread released between frames (server/change_stream_resume.h).
  ChangeStreamResume streamResume;
};

// Handles the message of server.cbData bytes at the start of
// server.pbBuffer and writes the reply over it. Non-zero when a reply of
// server.cbData bytes stands at the start of pbBuffer, zero when nothing is
// to be sent. Never reads past the cbData bytes received (a frame's length
// field is trusted only as far as those bytes reach) and never writes past
// server.cbBuffer.
int HandleMessage(SyncSession& session, SyncServer& server,
                  TrackingState& tracking) REQUIRES(TrackingState::systemLock);

// True when the message of `received` bytes at `frame` may write the store
// (a command that is not a remote read; see CommandWritesStore), so that the
// server takes the store before systemLock for it. Reads nothing past
// `received`; the worker only, before it takes systemLock.
bool MessageWritesStore(const SyncSession& session, const BYTE* frame, int32_t received);

// The reply to a message whose store transaction could not be committed
// (see ReplyCommandNotKept). Non-zero.
int ReplyMessageNotKept(SyncSession& session, SyncServer& server,
                        TrackingState& tracking) REQUIRES(TrackingState::systemLock);

// The first item of the run of `count` bytes at `items` whose tag is `tag`,
// or null. Items with tags below 0x80 are stepped over by their length
// field; tags 0x80 to 0xBF by a fixed 2 bytes (tag and one byte), 0xC0 to
// 0xFF by a fixed 5 bytes (tag and four bytes). The search ends at the first
// item that it cannot step over: one whose length field is under 3, or any
// item that runs past the end of the run. A match is returned whatever its
// length field holds; the caller checks that the item fits the run before
// reading its payload (ItemFits).
const BYTE* FindItem(BYTE tag, const BYTE* items, WORD count);

// True when the item at `item` (inside a run ending at `end`) has a header
// and its length field is at least 3 and stays within the run.
bool ItemFits(const BYTE* item, const BYTE* end);

// Hello: `payload` is the frame's payload (byte 3 on), `cbPayload` its
// length. Returns STATUS_OK (state Open, both capture flags cleared),
// STATUS_BAD_REQUEST (version other than 0x10, buffer size under 2048, or a
// payload shorter than the 4-byte prefix) or STATUS_REFUSED (no "F" item,
// or one that does not begin with the identification). A refused hello
// changes nothing.
BYTE HandleHello(SyncSession& session, TrackingState& tracking,
                 const BYTE* payload, DWORD cbPayload);
// Writes the 11-byte hello reply with `status`; non-zero.
int ReplyHello(SyncSession& session, SyncServer& server, BYTE status);

// End of session: state Shutdown when the payload starts with an "I" item
// whose first payload byte is non-zero, else Ended (Shutdown stays); clears
// both capture flags. Always STATUS_OK.
BYTE HandleEndSession(SyncSession& session, TrackingState& tracking,
                      const BYTE* payload, DWORD cbPayload);
// Writes the status-only reply; non-zero.
int ReplyEndSession(SyncSession& session, SyncServer& server, BYTE status);

// Called by the worker, with systemLock held, when a connection ends and no
// stop of the server is under way. A connection that ends without an end of
// session must not leave capture suppressed, and the next connection must
// start clean: both capture flags are cleared, any change stream is dropped
// (no stream position survives into the next connection), bLastOp is
// OP_NONE and the state is None, so the next peer must say hello. The
// selected class, the alarm handle and the remote-database fields stay.
void EndConnection(SyncSession& session, TrackingState& tracking)
    REQUIRES(TrackingState::systemLock);

#endif  // HOLLOWMARCH_SERVER_SYNC_SESSION_H_
