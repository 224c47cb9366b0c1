// Text in the device's ANSI code page, Windows-1252: the strings of an
// alarm (command 9) travel in it.
//
// Pure; any thread.
#ifndef HOLLOWMARCH_PEER_CODE_PAGE_H_
#define HOLLOWMARCH_PEER_CODE_PAGE_H_

#include <string>
#include <string_view>

namespace peer {

// `utf8` in Windows-1252, one byte a character, into *out. False with
// *error naming the first character the code page cannot hold (`"日"
// (U+65E5)`), a NUL (the device would end the string there), or the first
// byte that is not UTF-8; *out is then unspecified.
//
// The five bytes Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) stand for the control characters of the same number, as the
// device reads them.
bool Utf8ToWindows1252(std::string_view utf8, std::string* out, std::string* error);

}  // namespace peer

#endif  // HOLLOWMARCH_PEER_CODE_PAGE_H_
