// The program's process-wide objects and values.
//
// The six objects that both threads share are members of ProcessObjects,
// declared (and so constructed) in this order: the tracked-database table,
// the mail folder list, the sync session, the sync-state cache, the sync
// server (which reads the port from the registry) and the message uid map;
// they are destroyed in the reverse order. The program constructs one
// ProcessObjects after it has opened the device (the server's constructor
// reads the registry) and before WinMain, and destroys it after WinMain has
// returned. Tests construct their own.
//
// Threads: the window thread and the server's worker use the members under
// systemLock (server/system_lock.h); the capture flags are atomic.
#ifndef HOLLOWMARCH_SHELL_PROCESS_OBJECTS_H_
#define HOLLOWMARCH_SHELL_PROCESS_OBJECTS_H_

#include "platform/types.h"
#include "server/sync_server.h"
#include "server/sync_session.h"
#include "settings/sync_state_cache.h"
#include "shell/close_signals.h"
#include "shell/change_list_interface.h"
#include "tracking/change_capture.h"
#include "tracking/mail_store.h"
#include "tracking/tracked_db.h"
#include "tracking/tracking_context.h"

struct ProcessObjects {
  // port: the server's port; 0 reads the registry value Port (as the
  // program does). address: the one address the server binds (host byte
  // order), INADDR_ANY for every address (shell/listen_address.h chooses
  // it for the program).
  explicit ProcessObjects(DWORD port = 0, DWORD address = winsock::INADDR_ANY);
  ProcessObjects(const ProcessObjects&) = delete;
  ProcessObjects& operator=(const ProcessObjects&) = delete;

  // Plain values the objects below refer to; they need no construction
  // order of their own.
  TrackingContext tracking;
  MailStoreOids mail;
  LastLoggedChange lastLogged;
  CaptureHold captureHold;
  CaptureFlags capture;
  ChangeListState changeList;

  // The six shared objects, in their construction order.
  TrackedDbList trackedDbs;
  MailFolderDbList mailFolders;
  SyncSession session;
  SyncStateCache syncStates;
  SyncServer server;
  MessageUidMap messageUids;

  // Set when the server could not be started while the window was being
  // created; the program then exits with a failure status.
  bool fServerStartFailed = false;

  // Told the window once it exists, so that the signals that close the
  // program can close it; null when no signal closes this program (tests).
  CloseOnSignals* closeOnSignals = nullptr;
};

// The objects the window procedure works on; set by WinMain (or a test)
// before the window is created, and cleared after the message loop.
extern ProcessObjects* pProcessObjects;

// The instance handle, stored as the first act of WinMain.
extern HINSTANCE hInstMain;
// String 201: the window class name, the window name and the caption of
// every message box.
extern WCHAR szTitle[256];
// The hidden window, set at WM_CREATE.
extern HWND hwndMain;

#endif  // HOLLOWMARCH_SHELL_PROCESS_OBJECTS_H_
