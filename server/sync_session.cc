#include "server/sync_session.h"

#include "platform/kernel.h"
#include "server/protocol.h"

SyncSession::SyncSession()
    : fStreamStart(0),
      fStreamDone(0),
      dwClass(0),
      dwSinceTime(0),
      bLastOp(OP_NONE),
      dwState(SessionStateNone),
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
