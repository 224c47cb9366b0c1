#include "shell/close_signals.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>

#include "platform/window.h"

namespace {

// SIGUSR2 only wakes the thread when it is to end.
sigset_t TakenSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR2}) sigaddset(&set, sig);
  return set;
}

}  // namespace

CloseOnSignals::CloseOnSignals() {
  sigset_t set = TakenSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  thread_ = std::thread([this] { Run(); });
}

CloseOnSignals::~CloseOnSignals() {
  stopping_.store(true);
  pthread_kill(thread_.native_handle(), SIGUSR2);
  thread_.join();
}

void CloseOnSignals::Run() {
  sigset_t set = TakenSignals();
  bool closeAsked = false;
  while (!stopping_.load()) {
    int sig = 0;
    if (!closeAsked) {
      if (sigwait(&set, &sig) != 0 || sig == SIGUSR2) continue;
      signal_.store(sig);
      closeAsked = true;
    }
    HWND window = window_.load();
    if (window != 0) {
      PostMessageW(window, WM_CLOSE, 0, 0);
      // Later signals find the close under way.
      while (!stopping_.load()) {
        if (sigwait(&set, &sig) != 0) break;
      }
      return;
    }
    // Before the window exists: wait for it, or for the end.
    timespec pause{0, 10'000'000};
    siginfo_t info;
    if (sigtimedwait(&set, &info, &pause) == SIGUSR2) continue;
  }
}
