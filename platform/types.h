// Basic types, constants and error codes of the handheld's operating system,
// with the widths they have on the device (a 32-bit machine).
//
// Handles, window handles, registry keys, object identifiers and message
// arguments are all 32-bit values here, exactly as on the device: none of them
// is a host pointer, so they can cross process boundaries and travel to the
// desktop peer unchanged.
#ifndef HOLLOWMARCH_PLATFORM_TYPES_H_
#define HOLLOWMARCH_PLATFORM_TYPES_H_

#include <cstdint>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using INT = int32_t;
using UINT = uint32_t;
using BOOL = int32_t;
using WCHAR = char16_t;  // UTF-16 code unit, as on the device.
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPBYTE = BYTE*;
using LPWORD = WORD*;
using LPDWORD = DWORD*;
using LPVOID = void*;
using ULONGLONG = uint64_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Kernel objects (database, enumeration and thread handles). Process-local,
// never 0, never INVALID_HANDLE_VALUE when valid.
using HANDLE = uint32_t;
constexpr HANDLE INVALID_HANDLE_VALUE = 0xFFFFFFFFu;

using HWND = uint32_t;       // device-wide window identifier; 0 is none
using HINSTANCE = uint32_t;  // the program's instance handle
using HKEY = uint32_t;       // registry key; 0 is none
using HICON = uint32_t;
using HBRUSH = uint32_t;
using HMENU = uint32_t;
using HDC = uint32_t;
using HGDIOBJ = uint32_t;
using HLOCAL = void*;

using WPARAM = uint32_t;
using LPARAM = int32_t;
using LRESULT = int32_t;

using CEOID = uint32_t;
using CEPROPID = uint32_t;
using PCEOID = CEOID*;

union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
};

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16);

// Error codes reported through GetLastError.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_INTERNAL_ERROR = 1359;
constexpr DWORD ERROR_DATABASE_FULL = 4314;

#endif  // HOLLOWMARCH_PLATFORM_TYPES_H_
