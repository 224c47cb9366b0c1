// The program's process-wide objects and values.
//
// ProcessObjects owns the tracking state that both threads share
// (tracking/tracking_state.h), the sync session, the dispatcher that serves
// the session's messages on that state, and the sync server, built in that
// order and destroyed in the reverse one (so the server's worker has ended
// before the state it works on goes). The program constructs one
// ProcessObjects after it has opened the device (the server's constructor
// reads the registry) and before WinMain, and destroys it after WinMain has
// returned. Tests construct their own.
//
// Threads: the window thread and the server's worker use the tracking state
// under TrackingState::systemLock; changeList is the window thread's alone.
#ifndef HOLLOWMARCH_SHELL_PROCESS_OBJECTS_H_
#define HOLLOWMARCH_SHELL_PROCESS_OBJECTS_H_

#include "platform/types.h"
#include "server/message_dispatch.h"
#include "server/sync_server.h"
#include "server/sync_session.h"
#include "shell/close_signals.h"
#include "shell/change_list_interface.h"
#include "tracking/tracking_state.h"

struct ProcessObjects {
  // port: the server's port; 0 reads the registry value Port (as the
  // program does). address: the one address the server binds (host byte
  // order), INADDR_ANY for every address (shell/listen_address.h chooses
  // it for the program). allowed: the peers served, every one by default.
  explicit ProcessObjects(DWORD port = 0, DWORD address = winsock::INADDR_ANY,
                          PeerAllowList allowed = {});
  ProcessObjects(const ProcessObjects&) = delete;
  ProcessObjects& operator=(const ProcessObjects&) = delete;

  // The local change-list interface's walk (window thread only).
  ChangeListState changeList;

  // In their construction order: each refers to those before it.
  TrackingState tracking;
  SyncSession session;
  SessionDispatcher dispatcher;
  SyncServer server;

  // Set when the server could not be started while the window was being
  // created; the program then exits with a failure status.
  bool fServerStartFailed = false;

  // Set by WinMain for the AppRunAfterRestore start: the store was restored
  // from a copy, so no change log left in it, and nothing the journal says,
  // describes the databases as they are now.
  bool fStoreRestored = false;

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
