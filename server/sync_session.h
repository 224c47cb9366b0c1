// The protocol state carried from message to message. The handlers read and
// write it (server/message_dispatch.h routes each message to them); it
// depends on none of them.
//
// Threads: it is used on the server's worker with systemLock
// (tracking/tracking_state.h) held, one message at a time; tests and the
// fuzzer take the lock the same way.
#ifndef HOLLOWMARCH_SERVER_SYNC_SESSION_H_
#define HOLLOWMARCH_SERVER_SYNC_SESSION_H_

#include "platform/types.h"
#include "server/remote_db_handles.h"
#include "tracking/change_reader.h"

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
  // The change stream's place in the selected class's lists: started by the
  // first frame, stopped by the last one and by the connection's end.
  ChangeReader changes;
};

#endif  // HOLLOWMARCH_SERVER_SYNC_SESSION_H_
