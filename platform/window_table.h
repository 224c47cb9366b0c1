// The windows of this process (internal to the platform).
//
// The table maps each window handle this process owns to its window: the
// procedure, the owning thread and that thread's queue. The window layer
// (window.cc) adds and removes windows; the receiving side of windows
// between processes (window_ipc.cc) and the notifier (db_notifier.cc) only
// look windows up and queue messages to them. Keeping the table apart from
// both lets each of them use it without depending on the other.
//
// Thread-safety: every function may be called from any thread. A Window's
// fields other than `visible` and `destroying` never change once it is in
// the table; those two are read and written only through the table (under
// its mutex). The table's mutex is never held while a queue's is taken, nor
// while a procedure runs.
#ifndef HOLLOWMARCH_PLATFORM_WINDOW_TABLE_H_
#define HOLLOWMARCH_PLATFORM_WINDOW_TABLE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/types.h"
#include "platform/window_message.h"

namespace platform::window_internal {

struct Window {
  HWND hwnd = 0;
  std::u16string class_key;  // folded class name (FoldCase)
  std::u16string name;
  WNDPROC proc = nullptr;
  std::shared_ptr<MessageQueue> queue;
  std::thread::id thread;
  // Changed only through SetVisible / BeginDestroy.
  bool visible = false;
  bool destroying = false;
};

// Class and window names compare after this folding (ASCII and Latin-1
// letters to lower case).
std::u16string FoldCase(const std::u16string& text);

// Adds a window under its handle (never one already in the table).
void AddWindow(std::shared_ptr<Window> window);
// Takes the window out of the table; null when there was none.
std::shared_ptr<Window> RemoveWindow(HWND hwnd);
// The window, or null when this process has none with that handle.
std::shared_ptr<Window> FindLocal(HWND hwnd);
// The handles of the windows whose thread owns `queue`.
std::vector<HWND> WindowsOfQueue(const MessageQueue* queue);
// Marks the window as being destroyed; false when it already was.
bool BeginDestroy(Window* window);
// Sets whether the window shows; whether it showed before.
bool SetVisible(Window* window, bool visible);

bool IsLocalWindow(HWND hwnd);
// A window of this process with that folded class name (and folded name
// when name_key is not null) that is not being destroyed; 0 when none.
HWND FindLocalWindow(const std::u16string& class_key, const std::u16string* name_key);

// Queues a posted / sent message to a window of this process; false when
// there is no such window or its queue has closed (a sent message's reply is
// then left alone).
bool PostToLocal(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
// The same for a notification that carries its journal sequence.
bool PostNotificationToLocal(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                             uint64_t journal_seq);
bool SendToLocalQueued(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                       std::shared_ptr<ReplySlot> reply);

// The journal sequence of the message the calling thread last took with
// GetMessageW or PeekMessageW (0 when that was no journal notification).
uint64_t CurrentJournalSequence();
// Called by GetMessageW and PeekMessageW for each message they return.
void SetCurrentJournalSequence(uint64_t journal_seq);

}  // namespace platform::window_internal

#endif  // HOLLOWMARCH_PLATFORM_WINDOW_TABLE_H_
