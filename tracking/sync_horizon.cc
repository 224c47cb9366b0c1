#include "tracking/sync_horizon.h"

#include <algorithm>

#include "platform/kernel.h"
#include "settings/registry_store.h"
#include "tracking/clock.h"

namespace {

// How long entering tracking waits for the clock to leave the second of the
// class's newest recorded time; a clock that does not get there in this
// time has been set back meanwhile.
constexpr DWORD kNextSecondWaitMs = 2500;
constexpr DWORD kClockPollMs = 20;

// The newest time the class has recorded: what this process noted, or else
// what the registry keeps of earlier processes (the horizon and the last
// anchor handed out).
DWORD RecordedTime(SyncStateCache& cache, DWORD dataClass) {
  DWORD time = 0;
  if (cache.LookupRecorded(dataClass, &time)) return time;
  time = std::max(GetSyncTime(dataClass), GetLastSyncTime(dataClass));
  cache.StoreRecorded(dataClass, time);
  return time;
}

// A state write that failed may have left the cache reading tracking while
// the registry does not: the cache reads lost instead.
bool WriteState(SyncStateCache& cache, DWORD dataClass, DWORD state) {
  if (SetSyncState(cache, dataClass, state)) return true;
  if (state == SyncStateTracking) cache.Store(dataClass, SyncStateLost);
  return false;
}

}  // namespace

bool EnterTracking(SyncStateCache& cache, DWORD dataClass) {
  DWORD cached = SyncStateTracking;
  cache.Lookup(dataClass, &cached);
  if (cached == SyncStateTracking && GetStoredSyncState(dataClass) == SyncStateTracking &&
      GetSyncTime(dataClass) != 0) {
    return ClockKeepsOrder(cache, dataClass, CurrentTime());
  }
  // Nothing was recorded before the new horizon, and a peer may hold an
  // anchor of the second the class was lost in: the horizon is the first
  // second after every time the class recorded.
  const DWORD recorded = RecordedTime(cache, dataClass);
  DWORD now = CurrentTime();
  for (DWORD waited = 0; now <= recorded; waited += kClockPollMs) {
    if (now < recorded || waited >= kNextSecondWaitMs) {
      LoseClass(cache, dataClass);
      return false;
    }
    Sleep(kClockPollMs);
    now = CurrentTime();
  }
  // The horizon first: a state that says tracking beside an old horizon
  // would promise what nobody recorded.
  if (!SetSyncTime(dataClass, now) || !WriteState(cache, dataClass, SyncStateTracking)) {
    LoseClass(cache, dataClass);
    return false;
  }
  cache.StoreRecorded(dataClass, now);
  return true;
}

bool LoseClass(SyncStateCache& cache, DWORD dataClass) {
  // The state first: a state still tracking with horizon 0 would promise
  // every change ever made.
  if (!SetSyncState(cache, dataClass, SyncStateLost)) {
    // Even a key that could not be opened (a busy store) leaves the process
    // reading the class lost.
    cache.Store(dataClass, SyncStateLost);
    cache.SetLossUnsaved(dataClass, true);
    return false;
  }
  const bool written = SetSyncTime(dataClass, 0);
  cache.SetLossUnsaved(dataClass, !written);
  return written;
}

bool LossesUnsaved(const SyncStateCache& cache) {
  for (DWORD dataClass : kDataClasses) {
    if (cache.LossUnsaved(dataClass)) return true;
  }
  return false;
}

bool WriteUnsavedLosses(SyncStateCache& cache) {
  bool none = true;
  for (DWORD dataClass : kDataClasses) {
    if (cache.LossUnsaved(dataClass) && !LoseClass(cache, dataClass)) none = false;
  }
  return none;
}

bool UntrackClass(SyncStateCache& cache, DWORD dataClass) {
  if (SetSyncState(cache, dataClass, SyncStateNone)) return true;
  cache.Store(dataClass, SyncStateNone);
  return false;
}

bool RaiseSyncTime(SyncStateCache& cache, DWORD dataClass, DWORD horizon) {
  if (GetSyncState(cache, dataClass) != SyncStateTracking) return true;
  if (GetSyncTime(dataClass) >= horizon) return true;
  if (!SetSyncTime(dataClass, horizon)) {
    LoseClass(cache, dataClass);
    return false;
  }
  cache.StoreRecorded(dataClass, horizon);
  return true;
}

bool HoldForRewrite(SyncStateCache& cache, DWORD dataClass, bool* held, DWORD* horizon) {
  *held = false;
  *horizon = 0;
  if (GetSyncState(cache, dataClass) != SyncStateTracking) return true;
  *horizon = GetSyncTime(dataClass);
  if (!SetSyncState(cache, dataClass, SyncStateLost)) {
    // The registry still says tracking, with the horizon it had: so may the
    // cache.
    cache.Store(dataClass, SyncStateTracking);
    return false;
  }
  *held = true;
  SetSyncTime(dataClass, 0);
  return true;
}

void EndRewriteHold(SyncStateCache& cache, DWORD dataClass, DWORD oldHorizon, DWORD horizon) {
  const DWORD raised = std::max(oldHorizon, horizon);
  if (raised == 0 || !SetSyncTime(dataClass, raised)) return;
  if (WriteState(cache, dataClass, SyncStateTracking)) cache.StoreRecorded(dataClass, raised);
}

bool ClockKeepsOrder(SyncStateCache& cache, DWORD dataClass, DWORD now) {
  if (now >= RecordedTime(cache, dataClass)) return true;
  if (GetSyncState(cache, dataClass) == SyncStateTracking) LoseClass(cache, dataClass);
  return false;
}

void NoteRecordedTime(SyncStateCache& cache, DWORD dataClass, DWORD time) {
  RecordedTime(cache, dataClass);  // the registry's first, when not known yet
  cache.StoreRecorded(dataClass, time);
}

DWORD NoteAnchor(SyncStateCache& cache, DWORD dataClass, DWORD now) {
  NoteRecordedTime(cache, dataClass, now);
  return RecordedTime(cache, dataClass);
}
