#include "platform/window.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fault.h"
#include "platform/kernel.h"
#include "platform/log.h"
#include "platform/message_queue.h"
#include "platform/mutex.h"
#include "platform/utf.h"
#include "platform/window_ipc.h"
#include "platform/window_table.h"

namespace platform {
namespace {

namespace wi = window_internal;
using wi::Window;

// The screen a hidden window would have on the handheld.
constexpr LONG kScreenWidth = 240;
constexpr LONG kScreenHeight = 320;
constexpr uint64_t kMinimumTimerPeriodMs = 10;
constexpr HDC kPaintDc = 1;

struct WindowClass {
  std::u16string name;
  WNDPROC proc = nullptr;
  WORD atom = 0;
};

// Process-wide classes and strings (the windows are in window_table.h).
struct State {
  Mutex mu;
  std::map<std::u16string, WindowClass> classes GUARDED_BY(mu);  // by folded name
  WORD next_atom GUARDED_BY(mu) = 0xC000;
  const StringResource* strings GUARDED_BY(mu) = nullptr;
  int string_count GUARDED_BY(mu) = 0;
};

State& TheState() {
  static State* state = new State;  // never destroyed: used until exit
  return *state;
}

std::u16string Copy(LPCWSTR text) {
  return text == nullptr ? std::u16string() : std::u16string(text);
}

bool OwnedByCaller(const Window& w) { return w.thread == std::this_thread::get_id(); }

LRESULT CallProc(const Window& w, UINT message, WPARAM wparam, LPARAM lparam) {
  return w.proc(w.hwnd, message, wparam, lparam);
}

// Removes the window from every lookup and kills its timers. Its handle is
// never issued again.
void Forget(HWND hwnd) {
  ipc::UnpublishWindow(hwnd);
  std::shared_ptr<Window> w = wi::RemoveWindow(hwnd);
  if (w != nullptr) w->queue->KillTimers(hwnd);
}

// A thread that ends takes its windows with it, so that nothing can find or
// wait on a window whose thread no longer runs.
void ForgetWindowsOfQueue(MessageQueue* queue) {
  for (HWND hwnd : wi::WindowsOfQueue(queue)) Forget(hwnd);
}

void EnsureThreadExitHook() {
  static std::once_flag once;
  std::call_once(once, [] { SetThreadExitHook(&ForgetWindowsOfQueue); });
}

// Runs the procedure for a message sent from another thread or process and
// completes the sender's wait with its result (0 when the window is gone).
void RunSent(const MessageQueue::Item& item) {
  std::shared_ptr<Window> w = wi::FindLocal(item.msg.hwnd);
  LRESULT result = 0;
  if (w != nullptr && OwnedByCaller(*w)) {
    result = CallProc(*w, item.msg.message, item.msg.wParam, item.msg.lParam);
  }
  item.reply->Complete(result);
}

void AppendText(std::string* out, LPCWSTR text) {
  if (text != nullptr) AppendUtf16AsUtf8(text, out, /*strict=*/false);
}

}  // namespace
}  // namespace platform

using platform::MessageQueue;
using platform::window_internal::Window;
namespace wi = platform::window_internal;

WORD RegisterClassW(const WNDCLASSW* window_class) {
  if (window_class == nullptr || window_class->lpfnWndProc == nullptr ||
      window_class->lpszClassName == nullptr || window_class->lpszClassName[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  platform::State& s = platform::TheState();
  platform::MutexLock lock(&s.mu);
  std::u16string key = wi::FoldCase(window_class->lpszClassName);
  if (s.classes.count(key) != 0) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  platform::WindowClass& c = s.classes[key];
  c.name = window_class->lpszClassName;
  c.proc = window_class->lpfnWndProc;
  c.atom = s.next_atom++;
  if (s.next_atom == 0) s.next_atom = 0xC000;
  return c.atom;
}

BOOL UnregisterClassW(LPCWSTR class_name, HINSTANCE) {
  if (class_name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  platform::State& s = platform::TheState();
  platform::MutexLock lock(&s.mu);
  std::u16string key = wi::FoldCase(class_name);
  if (s.classes.erase(key) == 0) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  return TRUE;
}

HWND CreateWindowExW(DWORD, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int, int,
                     int, int, HWND, HMENU, HINSTANCE, LPVOID) {
  if (class_name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  platform::EnsureThreadExitHook();
  auto w = std::make_shared<Window>();
  w->class_key = wi::FoldCase(class_name);
  w->name = platform::Copy(window_name);
  w->queue = platform::CurrentThreadQueue();
  w->thread = std::this_thread::get_id();
  w->visible = (style & WS_VISIBLE) != 0;
  std::u16string class_display;
  {
    platform::State& s = platform::TheState();
    platform::MutexLock lock(&s.mu);
    auto it = s.classes.find(w->class_key);
    if (it == s.classes.end()) {
      SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
      return 0;
    }
    w->proc = it->second.proc;
    class_display = it->second.name;
  }
  w->hwnd = platform::ipc::AllocateWindowHandle();
  if (w->hwnd == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  wi::AddWindow(w);
  // Findable from other processes from here on, also during WM_CREATE.
  platform::ipc::PublishWindow(w->hwnd, class_display, w->name);
  LRESULT created = platform::CallProc(*w, WM_CREATE, 0, 0);
  if (created == -1 && wi::FindLocal(w->hwnd) != nullptr) DestroyWindow(w->hwnd);
  // The procedure may have destroyed its window during WM_CREATE.
  if (wi::FindLocal(w->hwnd) == nullptr) return 0;
  return w->hwnd;
}

BOOL DestroyWindow(HWND window) {
  std::shared_ptr<Window> w = wi::FindLocal(window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (!platform::OwnedByCaller(*w)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // A destroy from inside WM_DESTROY is already under way.
  if (!wi::BeginDestroy(w.get())) return TRUE;
  // No longer found by anyone, though messages still reach it during
  // WM_DESTROY.
  platform::ipc::UnpublishWindow(window);
  platform::CallProc(*w, WM_DESTROY, 0, 0);
  platform::Forget(window);
  return TRUE;
}

HWND FindWindowW(LPCWSTR class_name, LPCWSTR window_name) {
  if (class_name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string class_key = wi::FoldCase(class_name);
  std::u16string name_key;
  if (window_name != nullptr) name_key = wi::FoldCase(window_name);
  const std::u16string* name_filter = window_name != nullptr ? &name_key : nullptr;
  if (HWND local = wi::FindLocalWindow(class_key, name_filter)) return local;
  return platform::ipc::FindRemoteWindow(class_key, name_filter);
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD error;
  if (platform::fault::ShouldFail(platform::fault::Call::kSendMessageW, &error)) {
    SetLastError(error);
    return 0;
  }
  std::shared_ptr<Window> w = wi::FindLocal(window);
  if (w != nullptr) {
    if (platform::OwnedByCaller(*w)) return platform::CallProc(*w, message, wparam, lparam);
    auto reply = std::make_shared<platform::WaitableReply>();
    if (!w->queue->PostSent(MSG{window, message, wparam, lparam, 0, {0, 0}}, reply)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    return reply->Wait();
  }
  LRESULT result = 0;
  if (!platform::ipc::SendRemote(window, message, wparam, lparam, &result)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return result;
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD error;
  if (platform::fault::ShouldFail(platform::fault::Call::kPostMessageW, &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (window == 0) {
    // A thread message: to the calling thread's own queue.
    return platform::CurrentThreadQueue()->Post(MSG{0, message, wparam, lparam, 0, {0, 0}})
               ? TRUE
               : FALSE;
  }
  if (wi::PostToLocal(window, message, wparam, lparam)) return TRUE;
  if (wi::IsLocalWindow(window) || !platform::ipc::PostRemote(window, message, wparam, lparam)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

void PostQuitMessage(int exit_code) { platform::CurrentThreadQueue()->PostQuit(exit_code); }

BOOL GetMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max) {
  if (msg == nullptr || window != 0 || filter_min != 0 || filter_max != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  std::shared_ptr<MessageQueue> queue = platform::CurrentThreadQueue();
  for (;;) {
    MessageQueue::Item item = queue->Next();
    if (item.reply == nullptr) {
      wi::SetCurrentJournalSequence(item.journal_seq);
      *msg = item.msg;
      return item.msg.message == WM_QUIT ? FALSE : TRUE;
    }
    // A message sent from another thread or process: its procedure runs
    // here, in queue order, and the result goes back to the sender.
    platform::RunSent(item);
  }
}

UINT DispatchSentMessagesW(BOOL (*accept)(UINT message)) {
  if (accept == nullptr) return 0;
  std::shared_ptr<MessageQueue> queue = platform::CurrentThreadQueue();
  auto match = [accept](const MSG& m) { return accept(m.message) != FALSE; };
  UINT ran = 0;
  MessageQueue::Item item;
  while (queue->TakeSent(match, &item)) {
    platform::RunSent(item);
    item = MessageQueue::Item();
    ++ran;
  }
  return ran;
}

BOOL PeekMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max, UINT remove) {
  if (msg == nullptr || remove != PM_REMOVE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const bool any_number = filter_min == 0 && filter_max == 0;
  auto match = [&](const MSG& m) {
    if (window != 0 && m.hwnd != window) return false;
    return any_number || (m.message >= filter_min && m.message <= filter_max);
  };
  MessageQueue::Item item;
  if (!platform::CurrentThreadQueue()->TakePosted(match, &item)) return FALSE;
  wi::SetCurrentJournalSequence(item.journal_seq);
  item.msg.time = GetTickCount();
  *msg = item.msg;
  return TRUE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }  // no keyboard here

LRESULT DispatchMessageW(const MSG* msg) {
  if (msg == nullptr || msg->hwnd == 0) return 0;
  std::shared_ptr<Window> w = wi::FindLocal(msg->hwnd);
  if (w == nullptr || !platform::OwnedByCaller(*w)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (msg->message == WM_TIMER) {
    if (TIMERPROC proc = w->queue->TimerProc(msg->hwnd, msg->wParam)) {
      proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
      return 0;
    }
  }
  return platform::CallProc(*w, msg->message, msg->wParam, msg->lParam);
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_CLOSE) DestroyWindow(window);
  return 0;
}

UINT SetTimer(HWND window, UINT id, UINT period, TIMERPROC proc) {
  std::shared_ptr<Window> w = wi::FindLocal(window);
  if (w == nullptr || !platform::OwnedByCaller(*w)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  uint64_t period_ms = period < platform::kMinimumTimerPeriodMs ? platform::kMinimumTimerPeriodMs
                                                                : uint64_t{period};
  w->queue->SetTimer(window, id, period_ms, proc);
  return id == 0 ? 1 : id;
}

BOOL KillTimer(HWND window, UINT id) {
  std::shared_ptr<Window> w = wi::FindLocal(window);
  if (w == nullptr || !w->queue->KillTimer(window, id)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

BOOL ShowWindow(HWND window, int command) {
  std::shared_ptr<Window> w = wi::FindLocal(window);
  if (w == nullptr) return FALSE;
  return wi::SetVisible(w.get(), command != SW_HIDE) ? TRUE : FALSE;
}

BOOL UpdateWindow(HWND window) {
  // No screen, so there is never anything to repaint.
  if (!wi::IsLocalWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HDC BeginPaint(HWND window, PAINTSTRUCT* paint) {
  if (paint == nullptr || !wi::IsLocalWindow(window)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  *paint = PAINTSTRUCT{};
  paint->hdc = platform::kPaintDc;
  paint->rcPaint = RECT{0, 0, platform::kScreenWidth, platform::kScreenHeight};
  return platform::kPaintDc;
}

BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) {
  return paint != nullptr && wi::IsLocalWindow(window) ? TRUE : FALSE;
}

BOOL GetClientRect(HWND window, RECT* rect) {
  if (rect == nullptr || !wi::IsLocalWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  *rect = RECT{0, 0, platform::kScreenWidth, platform::kScreenHeight};
  return TRUE;
}

int DrawTextW(HDC dc, LPCWSTR text, int, RECT* rect, UINT) {
  if (dc == 0 || text == nullptr || rect == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return 16;  // the height of one line of the system font
}

HICON LoadIconW(HINSTANCE, LPCWSTR name) {
  // Resource ids (MAKEINTRESOURCEW) give an icon; there are no named icons.
  auto id = reinterpret_cast<uintptr_t>(name);
  if (id == 0 || id > 0xFFFF) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  return static_cast<HICON>(0x10000 + id);
}

HGDIOBJ GetStockObject(int object) {
  if (object < 0 || object > 20) return 0;
  return static_cast<HGDIOBJ>(0x20000 + object);
}

void RegisterStringTable(const StringResource* entries, int count) {
  platform::State& s = platform::TheState();
  platform::MutexLock lock(&s.mu);
  s.strings = entries;
  s.string_count = entries == nullptr || count < 0 ? 0 : count;
}

int LoadStringW(HINSTANCE, UINT id, LPWSTR buffer, int buffer_chars) {
  if (buffer == nullptr || buffer_chars <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  LPCWSTR text = nullptr;
  {
    platform::State& s = platform::TheState();
    platform::MutexLock lock(&s.mu);
    for (int i = 0; i < s.string_count; ++i) {
      if (s.strings[i].id == id) {
        text = s.strings[i].text;
        break;
      }
    }
  }
  if (text == nullptr) {
    buffer[0] = 0;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  int copied = 0;
  while (copied < buffer_chars - 1 && text[copied] != 0) {
    buffer[copied] = text[copied];
    ++copied;
  }
  buffer[copied] = 0;
  return copied;
}

int MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT) {
  std::string line;
  if (caption != nullptr) {
    platform::AppendText(&line, caption);
  } else {
    line += "Error";  // the default caption of a box without one
  }
  line += ": ";
  platform::AppendText(&line, text);
  platform::WriteLog(platform::LogPriority::kError, line);
  return IDOK;
}

BOOL sndPlaySoundW(LPCWSTR sound, UINT) {
  std::string line = "sound: ";
  platform::AppendText(&line, sound);
  platform::WriteLog(platform::LogPriority::kInfo, line);
  return TRUE;
}

void InitCommonControls() {}

HWND CommandBar_Create(HINSTANCE, HWND, int) { return 0; }

BOOL CommandBar_AddAdornments(HWND, DWORD, DWORD) { return FALSE; }

int CommandBar_Height(HWND) { return 0; }
