// The trim of a change log (tracking/change_log.h, AppendChange): when the
// store runs short of space, the oldest changes go from the log database,
// in place where the log knows its records, else through a load.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/kernel.h"
#include "platform/object_store.h"
#include "tracking/change_log.h"
#include "tracking/clock.h"
#include "tracking/sync_horizon.h"

DWORD ChangeLog::TrueRecordCount(WORD numRecords) {
  // The record count of a database stops at 0xFFFF; the index of its last
  // record goes on.
  if (numRecords < 0xFFFF) return numRecords;
  DWORD last = 0;
  if (CeSeekDatabase(hLogDb, CEDB_SEEK_END, 0, &last) == 0) return numRecords;
  return last + 1;
}

void ChangeLog::TrimOldest(DWORD numRecords) {
  if (TrimFromMirror(numRecords)) return;
  TrimLoaded();
}

// The trim without a load. When a load would take every record as an entry
// of its own and the records stand in time order, the list would hold them
// oldest first as they stand, except that a run of one time lists its later
// records as older. The n oldest entries are thus whole runs from the front
// and the last records of the run that follows.
bool ChangeLog::TrimFromMirror(DWORD numRecords) {
  if (list_.HasEntries() || !mirror_.valid() || !mirror_.Clean() || !mirror_.TimeOrdered() ||
      mirror_.size() != numRecords) {
    return false;
  }
  // Nothing for a load to drop: the inserted count would be the record count.
  const size_t n = std::min<size_t>(kTrimRecords, mirror_.size());
  size_t whole = 0;    // records [0, whole) go
  size_t runEnd = 0;   // and [runEnd - partial, runEnd)
  size_t partial = 0;
  while (whole < n) {
    size_t end = mirror_.RunEnd(whole);
    if (end - whole > n - whole) {
      partial = n - whole;
      runEnd = end;
      break;
    }
    whole = end;
  }
  std::vector<CEOID> doomed;
  for (size_t i = 0; i < whole; ++i) doomed.push_back(mirror_.at(i).oid);
  for (size_t i = runEnd - partial; i < runEnd; ++i) doomed.push_back(mirror_.at(i).oid);
  // The log is complete from the oldest record left, or, when part of that
  // second's run goes, from the second after it. With nothing left, it is
  // complete from now on.
  DWORD oldest = mirror_.size() > n ? mirror_.at(whole).dwTime : CurrentTime();
  if (partial != 0) oldest += 1;
  bool held = false;
  DWORD syncTime = 0;
  if (!HoldForRewrite(syncStates_, DataClass(), &held, &syncTime)) return true;
  if (!DeleteRecordsInPlace(doomed)) return true;
  if (partial != 0) mirror_.Erase(runEnd - partial, runEnd);
  mirror_.Erase(0, whole);
  // The horizon only rises: a loss may have raised it past what the log
  // still holds.
  if (held) EndRewriteHold(syncStates_, DataClass(), syncTime, oldest);
  return true;
}

bool ChangeLog::DeleteRecordsInPlace(const std::vector<CEOID>& records) {
  for (CEOID oid : records) {
    if (CeDeleteRecord(hLogDb, oid) != 0) continue;
    // Whatever the store's reason, what the log holds is no longer known
    // for sure: as after a failed write, the class is lost and the next
    // append starts afresh.
    DeleteLogDb();
    LoseClass(syncStates_, DataClass());
    return false;
  }
  return true;
}

// After a load and the removal of the oldest entries: deletes every record
// that no entry was loaded from (the duplicates the load dropped, those that
// hold no change, the removed entries'), and writes an entry's uid into its
// record where the entry took another record's. The database then loads as
// the list stands, as it would after a rewrite. Not in place, leaving the
// database alone, when an entry has no record of its own, or when the kept
// records would not stand in time order, which a rewrite restores (and on
// which a trim without a load depends).
ChangeLog::InPlaceResult ChangeLog::DropUnlistedRecords() {
  if (!mirror_.valid()) return InPlaceResult::kNotInPlace;
  std::vector<bool> keep(mirror_.size(), false);
  std::vector<std::pair<size_t, const ChangeEntry*>> uidTaken;
  for (const ChangeEntry* e = list_.OldestEntry(); e != nullptr; e = e->pNewer) {
    size_t at = e->oidLogRec != 0 ? mirror_.Find(e->oidLogRec) : ChangeRecordMirror::kNotFound;
    if (at == ChangeRecordMirror::kNotFound || keep[at]) return InPlaceResult::kNotInPlace;
    const ChangeRecordMirror::Record& r = mirror_.at(at);
    if (r.malformed || r.bType != e->bType || r.dwTime != e->dwTime || r.oidRec != e->oidRec) {
      return InPlaceResult::kNotInPlace;
    }
    if (r.dwUid != e->dwUid) uidTaken.emplace_back(at, e);
    keep[at] = true;
  }
  std::vector<CEOID> doomed;
  bool any = false;
  DWORD last = 0;
  for (size_t i = 0; i < mirror_.size(); ++i) {
    if (!keep[i]) {
      doomed.push_back(mirror_.at(i).oid);
      continue;
    }
    if (any && last > mirror_.at(i).dwTime) return InPlaceResult::kNotInPlace;
    last = mirror_.at(i).dwTime;
    any = true;
  }
  for (const auto& [at, e] : uidTaken) {
    BYTE blob[kChangeRecordSize];
    EncodeChangeRecord(e->bType, e->dwTime, 0, e->dwUid, e->oidRec, blob);
    CEPROPVAL prop;
    std::memset(&prop, 0, sizeof(prop));
    prop.propid = kChangeRecordPropId;
    prop.val.blob.dwCount = kChangeRecordSize;
    prop.val.blob.lpb = blob;
    if (CeWriteRecordProps(hLogDb, mirror_.at(at).oid, 1, &prop) == 0) {
      // Whatever the store's reason, the log no longer holds what it says.
      DeleteLogDb();
      LoseClass(syncStates_, DataClass());
      return InPlaceResult::kFailed;
    }
    mirror_.SetUid(at, e->dwUid);
  }
  if (!DeleteRecordsInPlace(doomed)) return InPlaceResult::kFailed;
  mirror_.Compact(keep);
  return InPlaceResult::kDone;
}

// The trim with a load: for a list already loaded by a reader, for a log
// whose records a load would not take one for one, or whose records the log
// does not know.
void ChangeLog::TrimLoaded() {
  if (!LoadLog()) {
    // Only part of the log was read: rewriting from it would lose the rest.
    FreeEntries();
    return;
  }
  // Both counted in full while loading; every record the load dropped
  // counts towards the ten.
  int64_t n = int64_t{list_.EntriesInserted()} - int64_t{cRecordsLoaded} + kTrimRecords;
  if (n < 0) n = 0;
  ChangeEntry* e = FirstOldest();
  bool removedAny = false;
  DWORD lastRemoved = 0;
  for (int64_t i = 0; i < n && e != nullptr; ++i) {
    removedAny = true;
    lastRemoved = e->dwTime;
    RemoveEntry(e);
    e = NextNewer();
  }
  // Complete from the oldest entry left, or from the second after it when
  // part of its second went; with nothing left, from now on.
  const ChangeEntry* kept = list_.OldestEntry();
  DWORD oldest = kept != nullptr ? kept->dwTime : CurrentTime();
  if (kept != nullptr && removedAny && lastRemoved == oldest) oldest += 1;
  bool marked = false;
  DWORD syncTime = 0;
  if (!HoldForRewrite(syncStates_, DataClass(), &marked, &syncTime)) {
    FreeEntries();
    return;
  }
  InPlaceResult inPlace = DropUnlistedRecords();
  if (inPlace == InPlaceResult::kFailed) {
    FreeEntries();
    return;
  }
  if (inPlace == InPlaceResult::kNotInPlace) {
    RewriteResult result = RewriteEntries();
    if (result == RewriteResult::kWriteFailed) {
      FreeEntries();
      return;
    }
    if (result == RewriteResult::kNotStarted) {
      if (marked) EndRewriteHold(syncStates_, DataClass(), syncTime, syncTime);
      FreeEntries();
      return;
    }
  }
  // The horizon only rises: a loss may have raised it past what the log
  // still holds.
  if (marked) EndRewriteHold(syncStates_, DataClass(), syncTime, oldest);
  fRewrite = 0;
  FreeEntries();
}
