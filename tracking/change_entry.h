// One change of a class's change list: the entry a ChangeLog
// (tracking/change_log.h) keeps for each changed record, linked in time
// order, and the values of its fields.
#ifndef HOLLOWMARCH_TRACKING_CHANGE_ENTRY_H_
#define HOLLOWMARCH_TRACKING_CHANGE_ENTRY_H_

#include "platform/types.h"

// ChangeType values; no other value is written.
constexpr BYTE ChangeTypeAdd = 0;
constexpr BYTE ChangeTypeDelete = 1;
constexpr BYTE ChangeTypeModify = 3;

// A change's uid when it has none (only mail records carry one).
constexpr DWORD kNoUid = 0xFFFFFFFF;

// One change. Allocated zero-filled by the ChangeLog whose list holds it:
// on its own with LocalAlloc (released with LocalFree), or, for a load, in
// blocks of many that the log releases together when it empties its list.
struct ChangeEntry {
  BYTE bType;          // ChangeType
  BYTE fPooled;        // part of a block of the log's (fills what would be
                       // padding); else a LocalAlloc block of its own
  DWORD dwTime;        // CurrentTime of the change
  DWORD dwReserved;    // written as 0; a value read is carried unchanged
  DWORD dwUid;         // mail message uid, kNoUid for none
  CEOID oidRec;        // the changed record
  CEOID oidLogRec;     // the log record the entry was loaded from; 0 when
                       // it was not loaded (fills what would be padding)
  ChangeEntry* pNewer; // null at the newest
  ChangeEntry* pOlder; // null at the oldest
};

static_assert(sizeof(void*) != 8 || sizeof(ChangeEntry) == 40,
              "an entry's record identifier must not make entries bigger");

#endif  // HOLLOWMARCH_TRACKING_CHANGE_ENTRY_H_
