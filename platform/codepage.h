// Conversion between UTF-16 and the device's ANSI code page (Windows-1252).
#ifndef HOLLOWMARCH_PLATFORM_CODEPAGE_H_
#define HOLLOWMARCH_PLATFORM_CODEPAGE_H_

#include "platform/types.h"

constexpr UINT CP_ACP = 0;
constexpr UINT CP_1252 = 1252;  // the ANSI code page itself, by number
constexpr UINT CP_UTF8 = 65001;

constexpr DWORD MB_PRECOMPOSED = 0x01;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;  // CP_UTF8 only
constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x400;

constexpr DWORD ERROR_INVALID_FLAGS = 1004;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;

// As on the device: a length of -1 converts up to and including the NUL (the
// result counts it); a length of 0 fails. An output size of 0 asks for the
// size needed and writes nothing. Returns the number of units written (or
// needed), 0 on failure with the last error: ERROR_INSUFFICIENT_BUFFER when
// the output is too small (it then holds as much as fits, never more than
// its size), ERROR_INVALID_PARAMETER for a null source, a bad length or an
// unknown code page, ERROR_INVALID_FLAGS for a flag the code page does not
// take.
//
// Windows-1252: every byte has a character (the five bytes the code page
// leaves undefined map to the control characters of the same value, both
// ways). Characters it lacks become the default character ('?', or
// *default_char) and set *used_default; a surrogate pair is one character.
// CP_UTF8: malformed input becomes U+FFFD, or fails with
// ERROR_NO_UNICODE_TRANSLATION under MB_ERR_INVALID_CHARS or
// WC_ERR_INVALID_CHARS; default_char and used_default must be null.
int MultiByteToWideChar(UINT code_page, DWORD flags, const char* source,
                        int source_bytes, LPWSTR dest, int dest_chars);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR source,
                        int source_chars, char* dest, int dest_bytes,
                        const char* default_char, BOOL* used_default);

#endif  // HOLLOWMARCH_PLATFORM_CODEPAGE_H_
