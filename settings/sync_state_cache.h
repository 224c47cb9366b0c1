// The per-class sync state and the in-memory cache of it.
//
// A class's sync state says whether its change log can serve a fast
// synchronisation. The registry holds it (registry_store.h); the cache spares
// registry reads once this process has written a class's state.
//
// Threads: the window thread and the server's worker both reach the one
// process-wide cache; every call must be made under the process-wide lock
// (TrackingState::systemLock, tracking/tracking_state.h, whose member the
// cache is). The cache itself takes no lock.
#ifndef HOLLOWMARCH_SETTINGS_SYNC_STATE_CACHE_H_
#define HOLLOWMARCH_SETTINGS_SYNC_STATE_CACHE_H_

#include "platform/types.h"
#include "settings/data_classes.h"

// Sync state values, as stored in the registry.
constexpr DWORD SyncStateNone = 0;      // nothing known; changes not recorded
constexpr DWORD SyncStateTracking = 1;  // log complete from the sync time on
constexpr DWORD SyncStateLost = 2;      // changes may be missed: slow sync next
constexpr DWORD SyncStateUncached = 3;  // cache only: the slot holds no value

// Five signed 32-bit slots, one per data class (settings/data_classes.h, in
// its order). Every slot starts as
// SyncStateUncached; only SetSyncState (registry_store.h) writes a slot, so a
// slot holds either SyncStateUncached or the last state this process wrote
// for its class. Never reset.
class SyncStateCache {
 public:
  SyncStateCache();
  SyncStateCache(const SyncStateCache&) = delete;
  SyncStateCache& operator=(const SyncStateCache&) = delete;

  // The slot index (0 to kDataClassCount - 1) of a data class, or -1 for a class without one.
  static int SlotOf(DWORD dataClass);

  // True and *state = the cached state when the class has a slot that holds
  // a value; false for a class without a slot or an uncached slot.
  bool Lookup(DWORD dataClass, DWORD* state) const;

  // Stores the state in the class's slot; does nothing for a class without
  // a slot.
  void Store(DWORD dataClass, DWORD state);

  // The newest time this process knows the class to have recorded (a
  // change's stamp, an anchor, a sync time; tracking/sync_horizon.h): true
  // and *time when the class has a slot that holds one.
  bool LookupRecorded(DWORD dataClass, DWORD* time) const;
  // Raises the class's recorded time to `time` (a later one stays); does
  // nothing for a class without a slot.
  void StoreRecorded(DWORD dataClass, DWORD time);

  // Whether the class's loss could not be written to the registry (which
  // may still say tracking); set and cleared by tracking/sync_horizon.h.
  bool LossUnsaved(DWORD dataClass) const;
  void SetLossUnsaved(DWORD dataClass, bool unsaved);

 private:
  LONG rglSyncState[kDataClassCount];
  DWORD rgdwRecorded[kDataClassCount];
  bool rgfRecordedKnown[kDataClassCount];
  bool rgfLossUnsaved[kDataClassCount];
};

#endif  // HOLLOWMARCH_SETTINGS_SYNC_STATE_CACHE_H_
