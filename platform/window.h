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
// process dies during the call, returns 0. PostMessageW queues and returns.
//
// The device has no screen: painting, icons and message boxes are stand-ins
// that behave as they would for a hidden window.
#ifndef HOLLOWMARCH_PLATFORM_WINDOW_H_
#define HOLLOWMARCH_PLATFORM_WINDOW_H_

#include "platform/types.h"

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_HIBERNATE = 0x03FF;
constexpr UINT WM_APP = 0x8000;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT, DWORD);

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

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
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
// before the call returns. 0 on failure. A procedure may destroy its window
// during WM_CREATE; the call then returns 0.
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name,
                     DWORD style, int x, int y, int width, int height,
                     HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
// Sends WM_DESTROY and removes the window; its handle is no longer found.
BOOL DestroyWindow(HWND window);

// A window of that class (window_name null or equal to its name) in any
// process of this device whose process is alive; 0 when none.
HWND FindWindowW(LPCWSTR class_name, LPCWSTR window_name);

LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Posts WM_QUIT with the exit code to the calling thread's queue.
void PostQuitMessage(int exit_code);

// Waits for the next message of the calling thread (window 0 and no filter
// are all this platform supports). FALSE for WM_QUIT, -1 on error.
BOOL GetMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// WM_TIMER with wParam = id is posted to the window every `period` ms until
// KillTimer; periods up to 2^32-1 ms work. 0 on failure.
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
constexpr LPCWSTR MAKEINTRESOURCEW(int id) {
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

// No screen: the box is one line "<caption>: <text>" on standard error, and
// the call returns IDOK at once.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
BOOL sndPlaySoundW(LPCWSTR sound, UINT flags);

// Common controls and the command bar: there is no bar here (height 0).
void InitCommonControls();
HWND CommandBar_Create(HINSTANCE instance, HWND parent, int id);
BOOL CommandBar_AddAdornments(HWND bar, DWORD flags, DWORD help_id);
int CommandBar_Height(HWND bar);

#endif  // HOLLOWMARCH_PLATFORM_WINDOW_H_
