#include "shell/change_list_interface.h"

#include "settings/registry_store.h"
#include "settings/sync_state_cache.h"
#include "tracking/change_log.h"
#include "tracking/change_time_list.h"
#include "tracking/durability_point.h"
#include "tracking/trace.h"
#include "tracking/tracked_class.h"
#include "tracking/tracking_state.h"
#include "tracking/sync_horizon.h"

namespace {

LRESULT GetSyncStateAnswer(TrackingState& t, DWORD dataClass) REQUIRES(TrackingState::systemLock) {
  return LocalSyncState(GetSyncState(t.syncStates, dataClass));
}

// Forgets every handle of `list` that came from a list released since;
// `now` is a cursor of the list as it stands.
void ForgetReleasedHandles(ChangeListState& state, const ChangeTimeList* list,
                           const ChangeCursor& now)
    REQUIRES(TrackingState::systemLock) {
  auto [it, added] = state.handleLists.emplace(list, now);
  if (added || list->IsCurrent(it->second)) return;
  it->second = now;
  for (auto h = state.handles.begin(); h != state.handles.end();) {
    if (h->second.cursor.list() != list) {
      ++h;
      continue;
    }
    state.entryHandles.erase(h->second.cursor.key());
    h = state.handles.erase(h);
  }
}

// Issues the handle of the entry at `at`, a cursor the walk has just given.
DWORD IssueHandle(ChangeListState& state, const ChangeCursor& at)
    REQUIRES(TrackingState::systemLock) {
  const ChangeTimeList* list = at.list();
  const ChangeEntry* e = list != nullptr ? list->At(at) : nullptr;
  if (e == nullptr) return 0;
  ForgetReleasedHandles(state, list, at);
  ChangeHandleRecord record{at, e->bType, e->dwTime, e->dwReserved, e->dwUid, e->oidRec};
  auto known = state.entryHandles.find(at.key());
  if (known != state.entryHandles.end()) {
    auto h = state.handles.find(known->second);
    if (h != state.handles.end() && h->second.cursor.list() == list &&
        list->IsCurrent(h->second.cursor)) {
      h->second = record;
      return known->second;
    }
    // The address was another log's entry, or of a list gone since.
    if (h != state.handles.end()) state.handles.erase(h);
    state.entryHandles.erase(known);
  }
  DWORD handle = state.nextHandle++;
  if (state.nextHandle == 0) state.nextHandle = 1;
  // After 2^32 handles a number may come round again: it names the new
  // entry from then on.
  auto old = state.handles.find(handle);
  if (old != state.handles.end()) {
    state.entryHandles.erase(old->second.cursor.key());
    state.handles.erase(old);
  }
  state.handles.emplace(handle, record);
  state.entryHandles.emplace(at.key(), handle);
  return handle;
}

// The record of a handle that is still good, or null. The log a record
// names lives as long as its tracked database, which the system never
// removes while it runs, so it can always be asked.
const ChangeHandleRecord* FindHandle(ChangeListState& state, WPARAM handle)
    REQUIRES(TrackingState::systemLock) {
  auto it = state.handles.find(handle);
  if (it == state.handles.end()) return nullptr;
  const ChangeCursor& cursor = it->second.cursor;
  if (!cursor.list()->IsCurrent(cursor)) return nullptr;
  return &it->second;
}

LRESULT GetNextChange(TrackingState& t, ChangeListState& state, WPARAM wparam, LPARAM lparam)
    REQUIRES(TrackingState::systemLock) {
  if (wparam == 0) state.walk.Start(t, state.dwChangeListClass);
  DWORD handle = 0;
  if (state.walk.Next(t, static_cast<DWORD>(lparam)) != nullptr) {
    handle = IssueHandle(state, state.walk.Current());
  }
  Trace("Got WM_HMAPP_GET_NEXT_CHANGE message, returning %08x", handle);
  return static_cast<LRESULT>(handle);
}

LRESULT ChangeField(ChangeListState& state, UINT message, WPARAM handle)
    REQUIRES(TrackingState::systemLock) {
  const ChangeHandleRecord* r = FindHandle(state, handle);
  DWORD value = 0;
  const char* trace = nullptr;
  switch (message) {
    case WM_HMAPP_GET_CHANGE_TYPE:
      value = r ? r->bType : 0;
      trace = "Got WM_HMAPP_GET_CHANGE_TYPE message, returning %08x";
      break;
    case WM_HMAPP_GET_CHANGE_OID:
      value = r ? r->oidRec : 0;
      trace = "Got WM_HMAPP_GET_CHANGE_OID message, returning %08x";
      break;
    case WM_HMAPP_GET_CHANGE_TIME:
      value = r ? r->dwTime : 0;
      trace = "Got WM_HMAPP_GET_CHANGE_TIME message, returning %08x";
      break;
    case WM_HMAPP_GET_MAPI_UID:
      value = r ? r->dwUid : 0;
      trace = "Got WM_HMAPP_GET_MAPI_UID message, returning %08x";
      break;
    default:  // WM_HMAPP_GET_CHANGE_RESERVED, without a trace
      return static_cast<LRESULT>(r ? r->dwReserved : 0);
  }
  Trace(trace, value);
  return static_cast<LRESULT>(value);
}

}  // namespace

DWORD LocalSyncState(DWORD registryState) {
  switch (registryState) {
    case SyncStateTracking:
      return kLocalStateTracking;
    case SyncStateLost:
      return kLocalStateLost;
    default:
      return kLocalStateNone;
  }
}

bool IsChangeListRequest(UINT message) {
  return message >= WM_HMAPP_GET_SYNC_STATE && message <= WM_HMAPP_GET_CHANGE_RESERVED &&
         message != WM_APP + 13;
}

LRESULT HandleChangeListRequest(TrackingState& t, ChangeListState& state, UINT message,
                                WPARAM wparam, LPARAM lparam) {
  const DWORD dataClass = wparam;
  switch (message) {
    case WM_HMAPP_GET_SYNC_STATE:
      return GetSyncStateAnswer(t, dataClass);
    case WM_HMAPP_GET_SYNC_TIME:
    case WM_HMAPP_GET_SYNC_TIME_ALT:
      return static_cast<LRESULT>(GetSyncTime(dataClass));
    case WM_HMAPP_GET_VERSION:
      return kChangeListVersion;
    case WM_HMAPP_START_CHANGE_LIST: {
      state.dwChangeListClass = dataClass;
      DWORD result = LoadClassChanges(t, dataClass) ? 1 : 0;
      Trace("Got WM_HMAPP_START_CHANGE_LIST message, returning %08x", result);
      return static_cast<LRESULT>(result);
    }
    case WM_HMAPP_GET_NEXT_CHANGE:
      return GetNextChange(t, state, wparam, lparam);
    case WM_HMAPP_GET_CHANGE_TYPE:
    case WM_HMAPP_GET_CHANGE_OID:
    case WM_HMAPP_GET_CHANGE_TIME:
    case WM_HMAPP_GET_MAPI_UID:
    case WM_HMAPP_GET_CHANGE_RESERVED:
      return ChangeField(state, message, wparam);
    case WM_HMAPP_END_CHANGE_LIST:
      state.walk.Stop();
      state.handles.clear();
      state.entryHandles.clear();
      state.handleLists.clear();
      {
        const LRESULT ended = EndClassChanges(t, dataClass) ? 1 : 0;
        // The program that walked may now hand the changes on.
        DurabilityPoint("at the end of a local change-list walk");
        return ended;
      }
    case WM_HMAPP_SET_SYNC_STATE: {
      DWORD syncState = lparam == 0   ? SyncStateTracking
                        : lparam == 2 ? SyncStateLost
                                      : SyncStateNone;
      bool written = syncState == SyncStateTracking ? EnterTracking(t.syncStates, dataClass)
                     : syncState == SyncStateLost   ? LoseClass(t.syncStates, dataClass)
                                                    : UntrackClass(t.syncStates, dataClass);
      return written ? 1 : 0;
    }
    case WM_HMAPP_INIT_SYNC_TIME:
      // Entering tracking took the class's horizon: a time from before
      // could promise changes nobody recorded, so one is taken only to
      // raise the horizon of a tracking class.
      if (GetSyncTime(dataClass) != 0) return 1;
      return RaiseSyncTime(t.syncStates, dataClass, static_cast<DWORD>(lparam)) ? 1 : 0;
    default:
      return 0;
  }
}
