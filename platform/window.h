// Windows and message queues of the handheld.
//
// A window belongs to the thread that created it; its procedure runs only on
// that thread, from DispatchMessageW or for a message sent to it. Window
// handles are device-wide: FindWindowW finds a window of any process of the
// same device, and SendMessageW/PostMessageW reach it there. Only the message
// number and the two 32-bit arguments cross a process boundary.
//
// SendMessageW is synchronous: it returns the procedure's result after the
// procedure has run on the window's own thread, in queue order with that
// thread's other messages. A send to a window that does not exist, or whose
// process or thread ends during the call, returns 0. PostMessageW queues and
// returns. A thread waiting in SendMessageW does not handle messages sent to
// its own windows meanwhile: two windows must not send to each other
// synchronously at the same time (the program never does).
//
// Reaching another process needs an open device (platform/device.h): a
// window made while no device is open works only within its process. Each
// process that owns windows serves a socket in the device's private runtime
// folder "<root>/run"; only processes of the same user are answered. A
// process without windows can send and post.
//
// A thread that ends takes its windows with it (without WM_DESTROY): they
// are no longer found, and messages sent to them return 0.
//
// The device has no screen: painting, icons and message boxes are stand-ins
// that behave as they would for a hidden window.
#ifndef HOLLOWMARCH_PLATFORM_WINDOW_H_
#define HOLLOWMARCH_PLATFORM_WINDOW_H_

#include "platform/types.h"
#include "platform/window_message.h"  // MSG, WNDPROC, TIMERPROC, WM_*

struct WNDCLASSW {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  uint32_t hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
};

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

struct PAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
  BOOL fRestore;
  BOOL fIncUpdate;
  BYTE rgbReserved[32];
};

constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);
constexpr int SW_HIDE = 0;
constexpr int SW_SHOW = 5;
constexpr int WHITE_BRUSH = 0;
constexpr UINT DT_CENTER = 0x01;
constexpr UINT DT_VCENTER = 0x04;
constexpr UINT DT_SINGLELINE = 0x20;
constexpr UINT MB_OK = 0;
constexpr int IDOK = 1;
constexpr UINT SND_ASYNC = 0x0001;

// Registers a class for the calling process. 0 on failure
// (ERROR_CLASS_ALREADY_EXISTS). Class names compare without regard to case.
WORD RegisterClassW(const WNDCLASSW* window_class);
// Forgets a class of the calling process (windows already made keep their
// procedure). FALSE with ERROR_CLASS_DOES_NOT_EXIST when there is none.
BOOL UnregisterClassW(LPCWSTR class_name, HINSTANCE instance);

// Creates a window on the calling thread; WM_CREATE is sent to its procedure
// before the call returns (the window is findable from then on). 0 on
// failure (ERROR_CLASS_DOES_NOT_EXIST). A procedure may destroy its window
// during WM_CREATE, or return -1 from it; the call then returns 0.
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name,
                     DWORD style, int x, int y, int width, int height,
                     HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
// Sends WM_DESTROY and removes the window; it is no longer found from the
// start of WM_DESTROY on, and its timers end. Only the owning thread may
// destroy a window (else FALSE, ERROR_ACCESS_DENIED); an unknown handle gives
// ERROR_INVALID_WINDOW_HANDLE.
BOOL DestroyWindow(HWND window);

// A window of that class (window_name null or equal to its name; both
// compare without regard to case) in any process of this device whose
// process is alive; 0 when none. With several, one of them (this process's
// own first). Leftovers of a dead process are never reported, and removed.
HWND FindWindowW(LPCWSTR class_name, LPCWSTR window_name);

// On the owning thread the procedure is called directly; from elsewhere the
// message is queued to the owner and the caller waits. 0 with
// ERROR_INVALID_WINDOW_HANDLE when the window does not exist.
LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// From any thread or process. Window 0 posts to the calling thread's own
// queue (the message then has no window). FALSE with
// ERROR_INVALID_WINDOW_HANDLE when the window does not exist.
BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Posts WM_QUIT with the exit code to the calling thread's queue.
void PostQuitMessage(int exit_code);

// Waits for the next message of the calling thread (window 0 and no filter
// are all this platform supports, else -1 with ERROR_INVALID_PARAMETER).
// Messages sent from other threads or processes are handled inside the call,
// in queue order with the posted ones. Order: queued messages, then WM_QUIT,
// then due timers. FALSE for WM_QUIT (msg->wParam is the exit code).
BOOL GetMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max);
// Takes the first posted message of the calling thread's queue for
// `window` (0: any) whose number lies in [filter_min, filter_max] (both 0:
// any) without waiting: TRUE and *msg filled, FALSE when there is none.
// Only PM_REMOVE is supported (else FALSE, ERROR_INVALID_PARAMETER).
// Messages sent from other threads or processes are neither taken nor
// handled here; they wait for the next GetMessageW.
BOOL PeekMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max, UINT remove);
constexpr UINT PM_REMOVE = 0x0001;
// An extension of this platform, for a thread that waits for something else
// (a busy store) while other threads or processes ask its windows
// questions: runs, in their order, the procedure for each message sent to
// the calling thread's windows that waits in its queue and for which
// accept(message) is TRUE, and completes each sender's wait with the
// result. Posted messages and the other sent ones keep their place, and the
// message the thread took last stays what it was. Returns how many ran.
UINT DispatchSentMessagesW(BOOL (*accept)(UINT message));
BOOL TranslateMessage(const MSG* msg);  // no keyboard: always FALSE
// Calls the procedure of the message's window (or, for WM_TIMER of a timer
// with a procedure, that procedure). On the owning thread only.
LRESULT DispatchMessageW(const MSG* msg);
// WM_CLOSE destroys the window; every other message gives 0.
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// WM_TIMER with wParam = id comes to the window every `period` ms until
// KillTimer or the window's end; periods up to 2^32-1 ms work, below 10 ms
// count as 10. A late tick is not repeated: the next one counts from when
// it was taken. SetTimer on an existing id restarts it. Only for a window of
// the calling thread; 0 on failure (ERROR_INVALID_WINDOW_HANDLE).
UINT SetTimer(HWND window, UINT id, UINT period, TIMERPROC proc);
BOOL KillTimer(HWND window, UINT id);

// Stand-ins for the screen.
BOOL ShowWindow(HWND window, int command);
BOOL UpdateWindow(HWND window);
HDC BeginPaint(HWND window, PAINTSTRUCT* paint);
BOOL EndPaint(HWND window, const PAINTSTRUCT* paint);
BOOL GetClientRect(HWND window, RECT* rect);
int DrawTextW(HDC dc, LPCWSTR text, int count, RECT* rect, UINT format);
HICON LoadIconW(HINSTANCE instance, LPCWSTR name);
HGDIOBJ GetStockObject(int object);
inline LPCWSTR MAKEINTRESOURCEW(int id) {
  return reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(id));
}

// The program's string table, compiled into the program and registered once
// at start-up, before the first LoadStringW. The entries must outlive every
// call.
struct StringResource {
  UINT id;
  LPCWSTR text;
};
void RegisterStringTable(const StringResource* entries, int count);

// Copies string `id` of the registered table (truncated to fit, always
// NUL-terminated); the number of characters copied, 0 for an unknown id.
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int buffer_chars);

// No screen: the box is the line "<caption>: <text>" (UTF-8) on standard
// error at error priority (platform/log.h), and the call returns IDOK at
// once. A null caption reads "Error".
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
// Plays nothing; leaves the line "sound: <name>" on standard error at
// information priority.
BOOL sndPlaySoundW(LPCWSTR sound, UINT flags);

// Common controls and the command bar: there is no bar here (height 0).
void InitCommonControls();
HWND CommandBar_Create(HINSTANCE instance, HWND parent, int id);
BOOL CommandBar_AddAdornments(HWND bar, DWORD flags, DWORD help_id);
int CommandBar_Height(HWND bar);

#endif  // HOLLOWMARCH_PLATFORM_WINDOW_H_
