// The local change-list interface: other processes of the device read a
// class's sync state and walk its change list by sending WM_APP requests to
// the hidden window. Every request runs on the window thread, under
// systemLock.
//
// A walk: WM_HMAPP_START_CHANGE_LIST (loads the class's lists), then
// WM_HMAPP_GET_NEXT_CHANGE with wParam 0 and then non-zero until it answers 0
// (newest first, entries older than lParam passed over), reading each
// change through its handle, and WM_HMAPP_END_CHANGE_LIST (rewrites the logs
// that need it and releases the lists). A class with several tracked
// databases is walked database by database, each newest first.
//
// Change handles are small numbers issued by GET_NEXT_CHANGE, one per entry
// of a loaded list: the same entry gets the same handle each time the walk
// comes to it, for as long as its list stays loaded, so the handles a client
// can make the system keep are bounded by the entries it has loaded, however
// often it walks them. A handle keeps a copy of its change, taken when it was
// last handed out, and is good only while the list it came from stays
// loaded: once that list is released (the walk's end, the peer's flush, a
// trim), and for any number GET_NEXT_CHANGE did not issue, the field
// requests answer 0; the handles of a released list are forgotten when the
// walk next hands out one of its log's. No handle ever reaches a released
// entry. (An entry removed while its list stays loaded may leave its memory
// to a later entry of the same list, which then takes over its handle.)
#ifndef HOLLOWMARCH_SHELL_CHANGE_LIST_INTERFACE_H_
#define HOLLOWMARCH_SHELL_CHANGE_LIST_INTERFACE_H_

#include <unordered_map>

#include "platform/types.h"
#include "platform/window.h"
#include "tracking/change_cursor.h"
#include "tracking/change_reader.h"
#include "tracking/tracking_state.h"

class ChangeTimeList;

constexpr UINT WM_HMAPP_GET_SYNC_STATE = WM_APP + 1;
constexpr UINT WM_HMAPP_GET_SYNC_TIME = WM_APP + 2;
constexpr UINT WM_HMAPP_GET_SYNC_TIME_ALT = WM_APP + 3;
constexpr UINT WM_HMAPP_GET_VERSION = WM_APP + 4;
constexpr UINT WM_HMAPP_START_CHANGE_LIST = WM_APP + 5;
constexpr UINT WM_HMAPP_GET_NEXT_CHANGE = WM_APP + 6;
constexpr UINT WM_HMAPP_GET_CHANGE_TYPE = WM_APP + 7;
constexpr UINT WM_HMAPP_GET_CHANGE_OID = WM_APP + 8;
constexpr UINT WM_HMAPP_GET_CHANGE_TIME = WM_APP + 9;
constexpr UINT WM_HMAPP_END_CHANGE_LIST = WM_APP + 10;
constexpr UINT WM_HMAPP_SET_SYNC_STATE = WM_APP + 11;
constexpr UINT WM_HMAPP_INIT_SYNC_TIME = WM_APP + 12;
constexpr UINT WM_HMAPP_GET_MAPI_UID = WM_APP + 14;
constexpr UINT WM_HMAPP_GET_CHANGE_RESERVED = WM_APP + 15;

// The interface's version, answered to WM_HMAPP_GET_VERSION.
constexpr LRESULT kChangeListVersion = 13;

// The local sync-state values (wParam of SET_SYNC_STATE, result of
// GET_SYNC_STATE).
constexpr DWORD kLocalStateTracking = 0;
constexpr DWORD kLocalStateNone = 1;
constexpr DWORD kLocalStateLost = 2;
// The local value of a registry sync state (SyncStateTracking 1 is 0 here).
DWORD LocalSyncState(DWORD registryState);

// A change as its handle saw it when it was issued.
struct ChangeHandleRecord {
  // Where the entry stood at issue: its list's IsCurrent tells whether the
  // list it came from is still loaded. Never read through; its key() names
  // the entry.
  ChangeCursor cursor;
  BYTE bType;
  DWORD dwTime;
  DWORD dwReserved;
  DWORD dwUid;
  CEOID oidRec;
};

struct ChangeListState {
  // The data class of the last START_CHANGE_LIST; 0 at start.
  DWORD dwChangeListClass = 0;
  // The walk: started by GET_NEXT_CHANGE with wParam 0, stopped by
  // END_CHANGE_LIST. At the end of the class's last list the next step
  // starts again at the newest change.
  ChangeReader walk;
  // Handles issued since the last END_CHANGE_LIST, and the handle of each
  // entry handed out (keyed by the cursor's key(), the entry's address; the
  // record's cursor tells whether the address is still of the same list).
  std::unordered_map<DWORD, ChangeHandleRecord> handles;
  std::unordered_map<const void*, DWORD> entryHandles;
  // Per log, a cursor of the list its handles above belong to.
  std::unordered_map<const ChangeTimeList*, ChangeCursor> handleLists;
  DWORD nextHandle = 1;
};

// True for the messages this interface answers (WM_APP+1 to +12, +14, +15).
bool IsChangeListRequest(UINT message);

// Answers one request. Window thread, under systemLock.
LRESULT HandleChangeListRequest(TrackingState& tracking, ChangeListState& state,
                                UINT message, WPARAM wparam, LPARAM lparam)
    REQUIRES(TrackingState::systemLock);

#endif  // HOLLOWMARCH_SHELL_CHANGE_LIST_INTERFACE_H_
