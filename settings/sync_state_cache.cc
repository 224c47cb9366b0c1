#include "settings/sync_state_cache.h"

SyncStateCache::SyncStateCache() {
  for (LONG& slot : rglSyncState) slot = static_cast<LONG>(SyncStateUncached);
  for (DWORD& time : rgdwRecorded) time = 0;
  for (bool& known : rgfRecordedKnown) known = false;
  for (bool& unsaved : rgfLossUnsaved) unsaved = false;
}

int SyncStateCache::SlotOf(DWORD dataClass) {
  for (int i = 0; i < kDataClassCount; ++i) {
    if (kDataClasses[i] == dataClass) return i;
  }
  return -1;
}

bool SyncStateCache::Lookup(DWORD dataClass, DWORD* state) const {
  int slot = SlotOf(dataClass);
  if (slot < 0) return false;
  LONG value = rglSyncState[slot];
  if (value == static_cast<LONG>(SyncStateUncached)) return false;
  *state = static_cast<DWORD>(value);
  return true;
}

void SyncStateCache::Store(DWORD dataClass, DWORD state) {
  int slot = SlotOf(dataClass);
  if (slot >= 0) rglSyncState[slot] = static_cast<LONG>(state);
}

bool SyncStateCache::LookupRecorded(DWORD dataClass, DWORD* time) const {
  int slot = SlotOf(dataClass);
  if (slot < 0 || !rgfRecordedKnown[slot]) return false;
  *time = rgdwRecorded[slot];
  return true;
}

void SyncStateCache::StoreRecorded(DWORD dataClass, DWORD time) {
  int slot = SlotOf(dataClass);
  if (slot < 0) return;
  if (!rgfRecordedKnown[slot] || time > rgdwRecorded[slot]) rgdwRecorded[slot] = time;
  rgfRecordedKnown[slot] = true;
}

bool SyncStateCache::LossUnsaved(DWORD dataClass) const {
  int slot = SlotOf(dataClass);
  return slot >= 0 && rgfLossUnsaved[slot];
}

void SyncStateCache::SetLossUnsaved(DWORD dataClass, bool unsaved) {
  int slot = SlotOf(dataClass);
  if (slot >= 0) rgfLossUnsaved[slot] = unsaved;
}
