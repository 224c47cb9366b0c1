// The message queue of one thread (internal to the platform).
//
// Every thread that owns windows, or that calls GetMessageW or
// PostQuitMessage, has one queue, made on first use and closed when the
// thread ends. The queue holds, in arrival order, posted messages and
// messages sent from other threads or processes (each with a reply slot that
// the sender waits on). Timers are kept beside the queue: WM_TIMER is made
// when a timer is due and the queue has nothing else, at most one per timer
// at a time (a timer that fell behind does not pile up ticks).
//
// Thread-safety: Post, PostSent, PostQuit and the timer calls may be made
// from any thread; Next only from the owning thread.
#ifndef HOLLOWMARCH_PLATFORM_MESSAGE_QUEUE_H_
#define HOLLOWMARCH_PLATFORM_MESSAGE_QUEUE_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <utility>

#include "platform/mutex.h"
#include "platform/types.h"
#include "platform/window_message.h"

namespace platform {

// Where the result of a sent message goes. Complete is called exactly once:
// with the procedure's result, or with 0 when the message could not be
// delivered (window gone, thread ended). It may be called on any thread.
class ReplySlot {
 public:
  virtual ~ReplySlot() = default;
  virtual void Complete(LRESULT result) = 0;
};

// A reply slot that a thread of this process waits on.
class WaitableReply : public ReplySlot {
 public:
  void Complete(LRESULT result) override;
  // Blocks until Complete has been called; its result.
  LRESULT Wait();

 private:
  Mutex mu_;
  CondVar done_cv_;
  bool done_ GUARDED_BY(mu_) = false;
  LRESULT result_ GUARDED_BY(mu_) = 0;
};

class MessageQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // One message taken from the queue by Next.
  struct Item {
    MSG msg{};
    std::shared_ptr<ReplySlot> reply;  // set for a sent message
    // For an object-store notification posted through a notification
    // journal (platform/notification_journal.h): its sequence; else 0.
    uint64_t journal_seq = 0;
  };

  MessageQueue() = default;
  ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // Appends a posted message. False when the queue is closed (its thread
  // has ended).
  bool Post(const MSG& msg, uint64_t journal_seq = 0);
  // Appends a sent message; the owner completes `reply` when it has run the
  // procedure. False (and `reply` is left alone) when the queue is closed.
  bool PostSent(const MSG& msg, std::shared_ptr<ReplySlot> reply);
  // Marks the quit request; WM_QUIT is returned once the queue holds nothing
  // posted or sent before it.
  void PostQuit(int exit_code);

  // Starts or restarts timer (window, id): first tick `period_ms` from now.
  void SetTimer(HWND window, UINT id, uint64_t period_ms, TIMERPROC proc);
  bool KillTimer(HWND window, UINT id);
  // Removes every timer of the window.
  void KillTimers(HWND window);
  // The timer procedure of (window, id), null when none.
  TIMERPROC TimerProc(HWND window, UINT id);

  // Waits for the next message: queued messages first, in order, then
  // WM_QUIT, then a due timer (window = timer's window, wParam = id).
  // Never polls: sleeps until something arrives or the next timer is due.
  Item Next();
  // Takes the first posted message (not a sent one, not WM_QUIT, not a
  // timer) for which `match` is true; false when there is none. Never waits.
  template <class Match>
  bool TakePosted(Match match, Item* out);
  // The same for the first sent message for which `match` is true.
  template <class Match>
  bool TakeSent(Match match, Item* out);

  // Ends the queue: later posts fail; every sent message still queued is
  // completed with 0.
  void Close();

 private:
  struct TimerState {
    uint64_t period_ms = 0;
    Clock::time_point due;
    TIMERPROC proc = nullptr;
  };
  using TimerKey = std::pair<HWND, UINT>;

  // The earliest due timer; timers_.end() when there is none.
  std::map<TimerKey, TimerState>::iterator EarliestTimer() REQUIRES(mu_);

  Mutex mu_;
  CondVar cv_;
  std::deque<Item> items_ GUARDED_BY(mu_);
  std::map<TimerKey, TimerState> timers_ GUARDED_BY(mu_);
  bool quit_ GUARDED_BY(mu_) = false;
  int quit_code_ GUARDED_BY(mu_) = 0;
  bool closed_ GUARDED_BY(mu_) = false;
};

template <class Match>
bool MessageQueue::TakePosted(Match match, Item* out) {
  MutexLock lock(&mu_);
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (it->reply != nullptr || !match(it->msg)) continue;
    *out = std::move(*it);
    items_.erase(it);
    return true;
  }
  return false;
}

template <class Match>
bool MessageQueue::TakeSent(Match match, Item* out) {
  MutexLock lock(&mu_);
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (it->reply == nullptr || !match(it->msg)) continue;
    *out = std::move(*it);
    items_.erase(it);
    return true;
  }
  return false;
}

// The calling thread's queue, made on first use; closed when the thread
// ends. Never null.
std::shared_ptr<MessageQueue> CurrentThreadQueue();

// Called once when the calling thread's queue is about to close, on that
// thread, so that the windows of the thread can be removed. Set once by the
// window layer.
void SetThreadExitHook(void (*hook)(MessageQueue* queue));

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_MESSAGE_QUEUE_H_
