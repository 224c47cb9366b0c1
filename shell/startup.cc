#include "shell/startup.h"

#include "platform/log.h"
#include "platform/window.h"
#include "settings/data_classes.h"
#include "settings/registry_store.h"
#include "settings/sync_state_cache.h"
#include "shell/process_objects.h"
#include "shell/string_table.h"
#include "shell/window_proc.h"
#include "tracking/sync_horizon.h"

namespace {

WCHAR AsciiLower(WCHAR c) { return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c - u'A' + u'a') : c; }

// Closes every running instance, one synchronous WM_CLOSE at a time: each
// send returns once that instance has stopped its server, deleted its change
// logs and destroyed its window. False when windows of the class are still
// there after kMaxInstancesClosed closes.
bool CloseRunningInstances() {
  for (int closed = 0; closed < kMaxInstancesClosed; ++closed) {
    HWND running = FindWindowW(szTitle, nullptr);
    if (running == 0) return true;
    SendMessageW(running, WM_CLOSE, 0, 0);
  }
  return FindWindowW(szTitle, nullptr) == 0;
}

}  // namespace

bool IsKeyword(LPCWSTR command_line, LPCWSTR keyword) {
  if (command_line == nullptr) return false;
  for (; *command_line != 0 && *keyword != 0; ++command_line, ++keyword) {
    if (AsciiLower(*command_line) != AsciiLower(*keyword)) return false;
  }
  return *command_line == 0 && *keyword == 0;
}

int WinMain(HINSTANCE instance, HINSTANCE, LPCWSTR command_line, int, ProcessObjects& objects) {
  hInstMain = instance;
  LoadStringW(instance, IDS_APP_TITLE, szTitle, 256);

  if (!CloseRunningInstances()) {
    platform::WriteLog(platform::LogPriority::kError,
                       "hollowmarch: a running instance does not close; not starting");
    return kExitInstanceStuck;
  }

  if (IsKeyword(command_line, kKeywordAppRunAfterRestore)) {
    platform::MutexLock locked(&TrackingState::systemLock);
    objects.fStoreRestored = true;
    for (DWORD dataClass : kDataClasses) {
      UntrackClass(objects.tracking.syncStates, dataClass);
    }
  } else if (IsKeyword(command_line, kKeywordShutdown)) {
    return 0;
  }

  WNDCLASSW window_class{};
  window_class.style = 0;
  window_class.lpfnWndProc = MainWindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
  window_class.hbrBackground = GetStockObject(WHITE_BRUSH);
  window_class.lpszClassName = szTitle;
  RegisterClassW(&window_class);
  InitCommonControls();

  pProcessObjects = &objects;
  HWND window = CreateWindowExW(0, szTitle, szTitle, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, instance, nullptr);
  if (window == 0 && !objects.fServerStartFailed) {
    // Without a window the message loop would wait for ever.
    platform::WriteLog(platform::LogPriority::kError,
                       "hollowmarch: unable to create the main window");
    pProcessObjects = nullptr;
    return kExitStartFailed;
  }
  ShowWindow(window, SW_HIDE);
  UpdateWindow(window);

  MSG msg{};
  while (GetMessageW(&msg, 0, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  pProcessObjects = nullptr;
  if (objects.fServerStartFailed) return kExitStartFailed;
  return static_cast<int>(msg.wParam);
}
