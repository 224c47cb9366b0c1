#include "shell/window_proc.h"

#include <csignal>
#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "platform/log.h"
#include "platform/notification_journal.h"
#include "platform/object_store.h"
#include "platform/system_info.h"
#include "platform/window.h"
#include "platform/winsock.h"
#include "settings/data_classes.h"
#include "settings/registry_store.h"
#include "settings/sync_state_cache.h"
#include "server/sync_session.h"
#include "shell/change_list_interface.h"
#include "shell/listen_address.h"
#include "shell/process_objects.h"
#include "shell/service_notify.h"
#include "shell/string_table.h"
#include "tracking/change_capture.h"
#include "tracking/clock.h"
#include "tracking/system_lock.h"
#include "tracking/tracked_class.h"
#include "tracking/tracking_state.h"
#include "tracking/sync_horizon.h"

namespace {

HWND hwndCommandBar = 0;


std::string WinsockErrorText(int error) {
  switch (error) {
    case winsock::WSAEADDRINUSE:
      return "the port is already in use";
    case winsock::WSAEACCES:
      return "permission denied";
    case winsock::WSAEADDRNOTAVAIL:
      return "the address is not one of this machine's";
    case 0:
      return "unknown error";
    default:
      return "socket error " + std::to_string(error);
  }
}

// Takes what `queue` holds into `batch` while the group has room; true when
// it took any.
bool TakeQueued(NotificationSource& queue, std::vector<Notification>& batch) {
  const size_t before = batch.size();
  Notification next;
  while (batch.size() < static_cast<size_t>(kCaptureGroupMax) && queue.Next(&next)) {
    batch.push_back(next);
  }
  return batch.size() > before;
}

// While notifications keep arriving (another program writing one record
// after another), takes them from the queue into `batch`, waiting
// kCaptureGatherSliceMs at a time, until kCaptureGatherQuietSlices waits in
// a row bring none (a writer on a busy machine misses a slice now and
// then), the group is full or kCaptureGatherMaxMs have passed: so that
// capture takes the store's write lock once for many of the writer's
// commits instead of once for each, which would keep the writer waiting.
void GatherNotifications(NotificationSource& queue, std::vector<Notification>& batch) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kCaptureGatherMaxMs);
  const auto room = [&] { return batch.size() < static_cast<size_t>(kCaptureGroupMax); };
  TakeQueued(queue, batch);
  for (int quiet = 0; quiet < kCaptureGatherQuietSlices && room() &&
                      std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kCaptureGatherSliceMs));
    quiet = TakeQueued(queue, batch) ? 0 : quiet + 1;
  }
}

// Captures a batch that starts with a change notification, and what the
// queue holds behind it, as one group, and shows its failures.
void Capture(ProcessObjects& p, const std::vector<Notification>& batch, NotificationSource& queue,
             void (*whileStoreBusy)()) EXCLUDES(TrackingState::systemLock) {
  for (int failures = CaptureNotifications(p.tracking, batch, queue, whileStoreBusy);
       failures > 0; --failures) {
    ShowError(kCaptureAppendFailed);
  }
}

// Claims the journal in which the store keeps the notifications of the
// tracked databases for this system across its deaths. True when it was
// taken over from an instance that died: only then may a log kept from
// before be trusted, because only then is every change since that
// instance's last capture still to be told. A journal made afresh means the
// last instance closed (its classes were lost then) or kept no journal.
bool ClaimJournal() {
  BOOL takenOver = FALSE;
  if (!CeOpenNotificationJournal(szTitle, &takenOver)) {
    platform::Logf(platform::LogPriority::kWarning,
                   "hollowmarch: the notification journal is not available "
                   "(error %u); changes a crash leaves unhandled cannot be recovered",
                   static_cast<unsigned>(GetLastError()));
    return false;
  }
  return takenOver != FALSE;
}

// Captures what the instance before had been told but had not captured, and
// what was written while none ran, in their order, before any peer is
// served. False when they could not all be had.
bool CapturePendingNotifications(ProcessObjects& p, HWND window) REQUIRES(TrackingState::systemLock) {
  if (!CeFlushNotifications()) return false;
  // Capture takes the lock with the store itself; no other thread uses the
  // state before the server starts.
  platform::MutexUnlock released(&TrackingState::systemLock);
  WindowNotificationQueue queue(window);
  Notification first;
  while (queue.Next(&first)) {
    if (!IsChangeNotification(first.uiMessage)) continue;
    std::vector<Notification> batch{first};
    TakeQueued(queue, batch);
    Capture(p, batch, queue, nullptr);
  }
  return true;
}

// Every class that was tracking, lost; true when each loss was written.
bool LoseTrackingClasses(ProcessObjects& p) REQUIRES(TrackingState::systemLock) {
  bool written = true;
  for (DWORD dataClass : kDataClasses) {
    if (GetSyncState(p.tracking.syncStates, dataClass) != SyncStateTracking) continue;
    if (!LoseClass(p.tracking.syncStates, dataClass)) written = false;
  }
  return written;
}

void OnClose(ProcessObjects& p, HWND window, const char* reason = nullptr)
    REQUIRES(TrackingState::systemLock);

void OnCreate(ProcessObjects& p, HWND window) REQUIRES(TrackingState::systemLock) {
  hwndMain = window;
  p.tracking.hwndMain.store(window);

  hwndCommandBar = CommandBar_Create(hInstMain, window, 1);
  if (hwndCommandBar != 0) CommandBar_AddAdornments(hwndCommandBar, 0, 0);

  // A log left from before is kept when the device itself has just started
  // (its logs survive a quick restart) or when the last close kept them on
  // purpose (KeepChangeLogs), never after a restore; either way it is
  // trusted only where the journal taken over from the last instance
  // watched its database, and so holds what was written since.
  const bool takenOver = ClaimJournal();
  const bool keepLogs = GetKeepChangeLogs() && !p.fStoreRestored;
  const bool recent = (BootedRecently() || keepLogs) && takenOver;
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  const bool notesAndMail = version.dwMajorVersion > 1;
  // Notes follow the classes of every platform; mail comes last.
  static_assert(kDataClasses[kClassesOnEveryPlatform] == kNotesDataClass);
  DiscoverTrackedClasses(p.tracking,
                         std::span(kDataClasses, kClassesOnEveryPlatform + (notesAndMail ? 1 : 0)),
                         /*withMail=*/notesAndMail, recent, keepLogs && takenOver, window);
  if (!notesAndMail) {
    // Nothing watches notes or mail on this platform: a state kept from a
    // start on another version cannot say their logs are complete.
    for (DWORD dataClass : {kNotesDataClass, kMailDataClass}) {
      if (GetSyncState(p.tracking.syncStates, dataClass) == SyncStateTracking) {
        LoseClass(p.tracking.syncStates, dataClass);
      }
    }
  }
  if (!CapturePendingNotifications(p, window)) {
    // What was missed cannot be told: no log may be taken for complete.
    platform::Logf(platform::LogPriority::kWarning,
                   "hollowmarch: the changes left by the last instance could "
                   "not be read; the tracked classes need a slow sync");
    LoseTrackingClasses(p);
  }

  SetTimer(window, kPurgeTimerId, kPurgeTimerPeriodMs, nullptr);
  if (p.closeOnSignals != nullptr) p.closeOnSignals->SetWindow(window);

  if (p.server.StartReleasingLock() == 0) {
    // The window closes itself; the program reports the cause and exits
    // with a failure status (a failure must not look like success to
    // whoever started it).
    p.fServerStartFailed = true;
    platform::Logf(platform::LogPriority::kError,
                   "hollowmarch: unable to start the sync server on %s: %s",
                   DescribeListenEndpoint(p.server.dwAddress, p.server.dwPort).c_str(),
                   WinsockErrorText(winsock::WSAGetLastError()).c_str());
    OnClose(p, window, "the sync server could not be started");
    return;
  }
  NotifyServiceReady(p);
}

void OnPaint(HWND window) {
  WCHAR text[256] = {};
  LoadStringW(hInstMain, IDS_HELLO, text, 256);
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(window, &paint);
  RECT rect{};
  GetClientRect(window, &rect);
  rect.top += hwndCommandBar != 0 ? CommandBar_Height(hwndCommandBar) : 0;
  DrawTextW(dc, text, -1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  EndPaint(window, &paint);
}

// DestroyWindow sends WM_DESTROY, which the procedure handles without the
// lock (see MainWindowProc).
// Why the window closes, for the log: `reason` when the caller knows it,
// else what the state shows of who asked.
std::string CloseReason(ProcessObjects& p, const char* reason) REQUIRES(TrackingState::systemLock) {
  if (reason != nullptr) return reason;
  const int sig = p.closeOnSignals != nullptr ? p.closeOnSignals->SignalTaken() : 0;
  if (sig != 0) {
    const char* name = sig == SIGTERM ? "SIGTERM" : sig == SIGINT ? "SIGINT" : sig == SIGHUP ? "SIGHUP" : nullptr;
    return "signal " + (name != nullptr ? std::string(name) : std::to_string(sig));
  }
  if (p.session.dwState == SessionStateShutdown) return "the peer's end of session asked for it";
  return "another instance asked for it (hollowmarch Shutdown or a new start), or a local program did";
}

void OnClose(ProcessObjects& p, HWND window, const char* reason) REQUIRES(TrackingState::systemLock) {
  const bool keepLogs = GetKeepChangeLogs();
  platform::Logf(platform::LogPriority::kInfo, "hollowmarch: closing: %s; the server stops and %s",
                 CloseReason(p, reason).c_str(),
                 keepLogs ? "the change logs are kept (KeepChangeLogs)" : "the change logs are deleted");
  NotifyServiceStopping();
  p.tracking.capture.fCaptureSuppressed.store(1);
  KillTimer(window, kPurgeTimerId);
  p.server.StopReleasingLock();
  // A close that deletes the change logs must leave no later start an empty
  // log to take for a complete one: the classes are lost first, and only
  // when that is written are the logs and the journal given up. Otherwise
  // (or when KeepChangeLogs asks for it) the close leaves all as a crash
  // would: the logs and the classes' states stay, and the journal passes to
  // the next instance, which finds in it what was written meanwhile.
  const bool lost = !keepLogs && LoseTrackingClasses(p);
  CloseTrackedDatabases(p.tracking, /*keepLogs=*/!lost);
  if (lost) {
    CeCloseNotificationJournal();
  } else {
    // Released now rather than at this process's end, so that an instance
    // replacing this one, which starts while this one still exits, can take
    // it over.
    CeReleaseNotificationJournal();
  }
  DestroyWindow(window);
}

void OnRestartServer(ProcessObjects& p, HWND window) REQUIRES(TrackingState::systemLock) {
  for (int attempt = 0; attempt < kRestartAttempts; ++attempt) {
    p.server.StopReleasingLock();
    if (p.server.StartReleasingLock() != 0) {
      NotifyServiceRestarted(p);
      return;
    }
  }
  ShowError(IDS_COMM_INIT_FAILED);
  OnClose(p, window, "the sync server could not be started again");
}

LRESULT Dispatch(ProcessObjects& p, HWND window, UINT message, WPARAM wparam, LPARAM lparam)
    REQUIRES(TrackingState::systemLock) {
  switch (message) {
    case WM_CREATE:
      OnCreate(p, window);
      return 0;
    case WM_PAINT:
      OnPaint(window);
      return 0;
    case WM_CLOSE:
      OnClose(p, window);
      return 0;
    case WM_TIMER:
      PurgeOldChanges(p.tracking);
      return 0;
    case WM_HIBERNATE:
      return 0;
    case WM_RESTART_SERVER:
      OnRestartServer(p, window);
      return 0;
    default:
      if (IsChangeListRequest(message)) {
        return HandleChangeListRequest(p.tracking, p.changeList, message, wparam, lparam);
      }
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

// The local requests that write nothing but what a busy store lets them
// (each store call under systemLock waits at most
// kStoreWaitUnderSystemLockMs): answered while capture waits for the store.
BOOL IsReadOnlyRequest(UINT message) {
  return IsChangeListRequest(message) && message != WM_HMAPP_SET_SYNC_STATE &&
                 message != WM_HMAPP_INIT_SYNC_TIME
             ? TRUE
             : FALSE;
}

// Called by capture's wait for a busy store, with no lock held: the
// read-only local requests sent meanwhile are answered now (each takes
// systemLock in the procedure), rather than after the store is free. A
// request that writes, and every other message, keeps its place.
void AnswerReadOnlyRequests() { DispatchSentMessagesW(IsReadOnlyRequest); }

}  // namespace

// Entered without the lock: every message is handled under it but WM_DESTROY,
// which touches nothing shared and is the one message the procedure is
// re-entered for while a message handled under the lock runs (DestroyWindow
// in the close). A handler that closes the window calls OnClose itself
// rather than send WM_CLOSE to its own window.
//
// A notification is gathered with those queued behind it and handed to
// capture (CaptureNotifications), which takes the lock with the store, so
// that a busy store (another process's long write) holds up capture alone
// while the worker keeps answering, and this thread answers the read-only
// local requests meanwhile (AnswerReadOnlyRequests). Under systemLock any other
// store call waits at most kStoreWaitUnderSystemLockMs; WM_CREATE is the
// exception, since no worker runs before it ends.
LRESULT MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  ProcessObjects* p = pProcessObjects;
  if (p == nullptr) return DefWindowProcW(window, message, wparam, lparam);
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  if (IsChangeNotification(message)) {
    WindowNotificationQueue queue(window);
    std::vector<Notification> batch{
        {message, static_cast<CEOID>(wparam), static_cast<CEOID>(lparam)}};
    GatherNotifications(queue, batch);
    Capture(*p, batch, queue, AnswerReadOnlyRequests);
    return 0;
  }
  platform::MutexLock lock(&TrackingState::systemLock);
  std::optional<ScopedStoreWait> wait;
  if (message != WM_CREATE) wait.emplace(kStoreWaitUnderSystemLockMs);
  return Dispatch(*p, window, message, wparam, lparam);
}

void ShowError(UINT id) {
  WCHAR text[256] = {};
  if (LoadStringW(hInstMain, id, text, 256) == 0) return;
  sndPlaySoundW(u"Critical Stop", SND_ASYNC);
  MessageBoxW(hwndMain, text, szTitle, MB_OK);
}
