// The message a window or a thread's queue receives: its record, the
// procedure types and the message numbers. Part of platform/window.h, which
// includes this header; kept apart so that the message queue
// (platform/message_queue.h), which sits below the window layer, can hold
// messages without depending on it.
#ifndef HOLLOWMARCH_PLATFORM_WINDOW_MESSAGE_H_
#define HOLLOWMARCH_PLATFORM_WINDOW_MESSAGE_H_

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

#endif  // HOLLOWMARCH_PLATFORM_WINDOW_MESSAGE_H_
