#include "platform/window_table.h"

#include <map>
#include <utility>

#include "platform/mutex.h"

namespace platform::window_internal {
namespace {

struct Table {
  Mutex mu;
  std::map<HWND, std::shared_ptr<Window>> windows GUARDED_BY(mu);
};

Table& TheTable() {
  static Table* table = new Table;  // never destroyed: used until exit
  return *table;
}

// The journal sequence of the message this thread last took.
thread_local uint64_t current_journal_seq = 0;

}  // namespace

std::u16string FoldCase(const std::u16string& text) {
  std::u16string folded = text;
  for (char16_t& c : folded) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) c += 0x20;
  }
  return folded;
}

void AddWindow(std::shared_ptr<Window> window) {
  Table& t = TheTable();
  MutexLock lock(&t.mu);
  HWND hwnd = window->hwnd;
  t.windows[hwnd] = std::move(window);
}

std::shared_ptr<Window> RemoveWindow(HWND hwnd) {
  Table& t = TheTable();
  MutexLock lock(&t.mu);
  auto it = t.windows.find(hwnd);
  if (it == t.windows.end()) return nullptr;
  std::shared_ptr<Window> w = std::move(it->second);
  t.windows.erase(it);
  return w;
}

std::shared_ptr<Window> FindLocal(HWND hwnd) {
  Table& t = TheTable();
  MutexLock lock(&t.mu);
  auto it = t.windows.find(hwnd);
  return it == t.windows.end() ? nullptr : it->second;
}

std::vector<HWND> WindowsOfQueue(const MessageQueue* queue) {
  Table& t = TheTable();
  MutexLock lock(&t.mu);
  std::vector<HWND> found;
  for (const auto& [hwnd, w] : t.windows) {
    if (w->queue.get() == queue) found.push_back(hwnd);
  }
  return found;
}

bool BeginDestroy(Window* window) {
  Table& t = TheTable();
  MutexLock lock(&t.mu);
  if (window->destroying) return false;
  window->destroying = true;
  return true;
}

bool SetVisible(Window* window, bool visible) {
  Table& t = TheTable();
  MutexLock lock(&t.mu);
  bool was_visible = window->visible;
  window->visible = visible;
  return was_visible;
}

bool IsLocalWindow(HWND hwnd) { return FindLocal(hwnd) != nullptr; }

HWND FindLocalWindow(const std::u16string& class_key, const std::u16string* name_key) {
  Table& t = TheTable();
  MutexLock lock(&t.mu);
  for (const auto& [hwnd, w] : t.windows) {
    if (w->destroying || w->class_key != class_key) continue;
    if (name_key != nullptr && FoldCase(w->name) != *name_key) continue;
    return hwnd;
  }
  return 0;
}

bool PostToLocal(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  std::shared_ptr<Window> w = FindLocal(hwnd);
  if (w == nullptr) return false;
  return w->queue->Post(MSG{hwnd, message, wparam, lparam, 0, {0, 0}});
}

bool PostNotificationToLocal(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                             uint64_t journal_seq) {
  std::shared_ptr<Window> w = FindLocal(hwnd);
  if (w == nullptr) return false;
  return w->queue->Post(MSG{hwnd, message, wparam, lparam, 0, {0, 0}}, journal_seq);
}

bool SendToLocalQueued(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                       std::shared_ptr<ReplySlot> reply) {
  std::shared_ptr<Window> w = FindLocal(hwnd);
  if (w == nullptr) return false;
  return w->queue->PostSent(MSG{hwnd, message, wparam, lparam, 0, {0, 0}}, std::move(reply));
}

uint64_t CurrentJournalSequence() { return current_journal_seq; }

void SetCurrentJournalSequence(uint64_t journal_seq) { current_journal_seq = journal_seq; }

}  // namespace platform::window_internal
