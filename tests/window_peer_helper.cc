// A process with one window, for the process-level window tests.
//
//   window_peer_helper <device root> <class name>
//
// Creates a window of that class (named "peer"), writes "ready <hwnd>" on
// standard output and runs its message loop until the window is destroyed.
// Its procedure answers:
//   WM_APP+1  wParam + lParam
//   WM_APP+2  posted in sequence 1, 2, 3...: counted while in order
//   WM_APP+3  how many WM_APP+2 came in order (-1 once one was out of order)
//   WM_APP+4  kills the process during the call
//   WM_APP+5  1 when the procedure runs on the window's own thread
//   WM_CLOSE  takes 100 ms, writes "closed", then destroys the window
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/device.h"
#include "platform/window.h"

namespace {

int in_order = 0;
std::thread::id window_thread;

void Say(const std::string& line) {
  std::string text = line + "\n";
  if (::write(STDOUT_FILENO, text.data(), text.size()) < 0) _exit(3);
}

LRESULT PeerProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_APP + 1:
      return static_cast<LRESULT>(wparam) + lparam;
    case WM_APP + 2:
      if (in_order >= 0) in_order = static_cast<int>(wparam) == in_order + 1 ? in_order + 1 : -1;
      return 0;
    case WM_APP + 3:
      return in_order;
    case WM_APP + 4:
      ::raise(SIGKILL);
      return 0;
    case WM_APP + 5:
      return std::this_thread::get_id() == window_thread ? 1 : 0;
    case WM_CLOSE:
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      Say("closed");
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: window_peer_helper <device root> <class name>\n");
    return 2;
  }
  platform::Status status = platform::OpenDevice(argv[1]);
  if (!status.ok()) {
    std::fprintf(stderr, "cannot open device: %s\n", status.message().c_str());
    return 1;
  }
  window_thread = std::this_thread::get_id();
  std::u16string class_name = Widen(argv[2]);
  WNDCLASSW wc{};
  wc.lpfnWndProc = &PeerProc;
  wc.lpszClassName = class_name.c_str();
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(0, class_name.c_str(), u"peer", 0, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, 0, nullptr);
  if (hwnd == 0) {
    std::fprintf(stderr, "cannot create the window\n");
    return 1;
  }
  Say("ready " + std::to_string(hwnd));
  MSG msg;
  while (GetMessageW(&msg, 0, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}
