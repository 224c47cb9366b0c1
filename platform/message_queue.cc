#include "platform/message_queue.h"

#include <atomic>

#include "platform/kernel.h"
#include "platform/mutex.h"

namespace platform {
namespace {

std::atomic<void (*)(MessageQueue*)> thread_exit_hook{nullptr};

// Owns the thread's queue; closes it when the thread ends, after letting the
// window layer remove the thread's windows.
struct ThreadQueueHolder {
  std::shared_ptr<MessageQueue> queue = std::make_shared<MessageQueue>();
  ~ThreadQueueHolder() {
    if (auto hook = thread_exit_hook.load()) hook(queue.get());
    queue->Close();
  }
};

}  // namespace

void WaitableReply::Complete(LRESULT result) {
  MutexLock lock(&mu_);
  result_ = result;
  done_ = true;
  done_cv_.NotifyAll();
}

LRESULT WaitableReply::Wait() {
  MutexLock lock(&mu_);
  while (!done_) done_cv_.Wait(&mu_);
  return result_;
}

MessageQueue::~MessageQueue() { Close(); }

bool MessageQueue::Post(const MSG& msg, uint64_t journal_seq) {
  MutexLock lock(&mu_);
  if (closed_) return false;
  items_.push_back(Item{msg, nullptr, journal_seq});
  cv_.NotifyOne();
  return true;
}

bool MessageQueue::PostSent(const MSG& msg, std::shared_ptr<ReplySlot> reply) {
  MutexLock lock(&mu_);
  if (closed_) return false;
  items_.push_back(Item{msg, std::move(reply), 0});
  cv_.NotifyOne();
  return true;
}

void MessageQueue::PostQuit(int exit_code) {
  MutexLock lock(&mu_);
  quit_ = true;
  quit_code_ = exit_code;
  cv_.NotifyOne();
}

void MessageQueue::SetTimer(HWND window, UINT id, uint64_t period_ms, TIMERPROC proc) {
  MutexLock lock(&mu_);
  // 64-bit milliseconds on the steady clock: a period of 2^32-1 ms is about
  // 50 days and cannot overflow here.
  TimerState& t = timers_[{window, id}];
  t.period_ms = period_ms;
  t.due = Clock::now() + std::chrono::milliseconds(period_ms);
  t.proc = proc;
  cv_.NotifyOne();
}

bool MessageQueue::KillTimer(HWND window, UINT id) {
  MutexLock lock(&mu_);
  return timers_.erase({window, id}) > 0;
}

void MessageQueue::KillTimers(HWND window) {
  MutexLock lock(&mu_);
  for (auto it = timers_.begin(); it != timers_.end();) {
    it = it->first.first == window ? timers_.erase(it) : std::next(it);
  }
}

TIMERPROC MessageQueue::TimerProc(HWND window, UINT id) {
  MutexLock lock(&mu_);
  auto it = timers_.find({window, id});
  return it == timers_.end() ? nullptr : it->second.proc;
}

std::map<MessageQueue::TimerKey, MessageQueue::TimerState>::iterator
MessageQueue::EarliestTimer() {
  auto earliest = timers_.end();
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (earliest == timers_.end() || it->second.due < earliest->second.due) earliest = it;
  }
  return earliest;
}

MessageQueue::Item MessageQueue::Next() {
  MutexLock lock(&mu_);
  for (;;) {
    if (!items_.empty()) {
      Item item = std::move(items_.front());
      items_.pop_front();
      item.msg.time = GetTickCount();
      return item;
    }
    if (quit_) {
      quit_ = false;
      Item item;
      item.msg.message = WM_QUIT;
      item.msg.wParam = static_cast<WPARAM>(quit_code_);
      item.msg.time = GetTickCount();
      return item;
    }
    auto timer = EarliestTimer();
    if (timer == timers_.end()) {
      cv_.Wait(&mu_);
      continue;
    }
    Clock::time_point now = Clock::now();
    if (timer->second.due <= now) {
      // The next tick counts from now: a late timer does not fire twice.
      timer->second.due = now + std::chrono::milliseconds(timer->second.period_ms);
      Item item;
      item.msg.hwnd = timer->first.first;
      item.msg.message = WM_TIMER;
      item.msg.wParam = timer->first.second;
      item.msg.time = GetTickCount();
      return item;
    }
    cv_.WaitUntil(&mu_, timer->second.due);
  }
}

void MessageQueue::Close() {
  std::deque<Item> orphans;
  {
    MutexLock lock(&mu_);
    closed_ = true;
    orphans.swap(items_);
    timers_.clear();
  }
  // Completed outside the lock: a reply slot may wake or write to a sender.
  for (Item& item : orphans) {
    if (item.reply != nullptr) item.reply->Complete(0);
  }
}

std::shared_ptr<MessageQueue> CurrentThreadQueue() {
  thread_local ThreadQueueHolder holder;
  return holder.queue;
}

void SetThreadExitHook(void (*hook)(MessageQueue* queue)) { thread_exit_hook.store(hook); }

}  // namespace platform
