// SIGTERM, SIGINT and SIGHUP close the system as `Shutdown` does: a
// terminal's Ctrl-C, a service manager's stop and a hang-up are closes, not
// crashes. The close is the window's own (WM_CLOSE): capture stops, the
// reply under way is finished, the classes are lost and the logs deleted,
// and the process exits with status 0.
//
// The signals are blocked in every thread and taken by one thread of their
// own (sigwait), which posts WM_CLOSE to the window; a signal that comes
// before the window exists is kept until it does. A signal after the first
// finds the close under way and changes nothing.
#ifndef HOLLOWMARCH_SHELL_CLOSE_SIGNALS_H_
#define HOLLOWMARCH_SHELL_CLOSE_SIGNALS_H_

#include <atomic>
#include <thread>

#include "platform/types.h"

class CloseOnSignals {
 public:
  // Blocks the signals in the calling thread, and so in every thread it
  // starts afterwards: construct it first thing in main, before any other
  // thread exists. Starts the thread that takes them.
  CloseOnSignals();
  // Stops that thread. The signals stay blocked.
  ~CloseOnSignals();
  CloseOnSignals(const CloseOnSignals&) = delete;
  CloseOnSignals& operator=(const CloseOnSignals&) = delete;

  // The window to close; 0 until it exists (then a signal waits for it).
  void SetWindow(HWND window) { window_.store(window); }
  // The signal that asked for the close; 0 while none did.
  int SignalTaken() const { return signal_.load(); }

 private:
  void Run();

  std::atomic<HWND> window_{0};
  std::atomic<int> signal_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

#endif  // HOLLOWMARCH_SHELL_CLOSE_SIGNALS_H_
