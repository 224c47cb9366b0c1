// Conversion between UTF-16 and the device's ANSI code page (Windows-1252).
#ifndef HOLLOWMARCH_PLATFORM_CODEPAGE_H_
#define HOLLOWMARCH_PLATFORM_CODEPAGE_H_

#include "platform/types.h"

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

// As on the device: a length of -1 converts up to and including the NUL;
// an output size of 0 asks for the size needed. Returns the number of units
// written (or needed), 0 on failure (ERROR_INSUFFICIENT_BUFFER,
// ERROR_INVALID_PARAMETER). Characters the code page lacks become '?' (and
// set *used_default).
int MultiByteToWideChar(UINT code_page, DWORD flags, const char* source,
                        int source_bytes, LPWSTR dest, int dest_chars);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR source,
                        int source_chars, char* dest, int dest_bytes,
                        const char* default_char, BOOL* used_default);

#endif  // HOLLOWMARCH_PLATFORM_CODEPAGE_H_
