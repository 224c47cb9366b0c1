#include "platform/codepage.h"

#include <cstring>
#include <string>

#include "platform/kernel.h"
#include "platform/utf.h"

namespace {

// Characters of the bytes 0x80 to 0x9F; the rest of Windows-1252 is Latin-1.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool IsAnsi(UINT code_page) { return code_page == CP_ACP || code_page == CP_1252; }

// The byte of a character, or -1 when Windows-1252 lacks it.
int AnsiByteOf(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] == c) return 0x80 + i;
  }
  return -1;
}

void AnsiToUtf16(const unsigned char* in, size_t size, std::u16string* out) {
  for (size_t i = 0; i < size; ++i) {
    unsigned char b = in[i];
    out->push_back(b >= 0x80 && b < 0xA0 ? kHighControls[b - 0x80] : char16_t{b});
  }
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// Copies the converted units out under the device's rules for the output
// size.
template <typename Unit>
int Deliver(const std::basic_string<Unit>& converted, Unit* dest, int dest_size) {
  if (converted.size() > 0x7FFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
  const int needed = static_cast<int>(converted.size());
  if (dest_size == 0) return needed;
  if (needed > dest_size) {
    std::memcpy(dest, converted.data(), static_cast<size_t>(dest_size) * sizeof(Unit));
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(dest, converted.data(), converted.size() * sizeof(Unit));
  return needed;
}

}  // namespace

int MultiByteToWideChar(UINT code_page, DWORD flags, const char* source, int source_bytes,
                        LPWSTR dest, int dest_chars) {
  if (source == nullptr || source_bytes == 0 || source_bytes < -1 || dest_chars < 0 ||
      (dest == nullptr && dest_chars > 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!IsAnsi(code_page) && code_page != CP_UTF8) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD allowed =
      code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : MB_PRECOMPOSED | MB_ERR_INVALID_CHARS;
  if ((flags & ~allowed) != 0) return Fail(ERROR_INVALID_FLAGS);

  const size_t size = source_bytes == -1 ? std::strlen(source) + 1 : static_cast<size_t>(source_bytes);
  const auto* bytes = reinterpret_cast<const unsigned char*>(source);
  std::u16string converted;
  converted.reserve(size);
  if (IsAnsi(code_page)) {
    AnsiToUtf16(bytes, size, &converted);
  } else if (!platform::AppendUtf8AsUtf16(std::string_view(source, size), &converted,
                                          (flags & MB_ERR_INVALID_CHARS) != 0)) {
    return Fail(ERROR_NO_UNICODE_TRANSLATION);
  }
  return Deliver(converted, dest, dest_chars);
}

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR source, int source_chars,
                        char* dest, int dest_bytes, const char* default_char,
                        BOOL* used_default) {
  if (source == nullptr || source_chars == 0 || source_chars < -1 || dest_bytes < 0 ||
      (dest == nullptr && dest_bytes > 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!IsAnsi(code_page) && code_page != CP_UTF8) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD allowed = code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  if ((flags & ~allowed) != 0) return Fail(ERROR_INVALID_FLAGS);
  if (code_page == CP_UTF8 && (default_char != nullptr || used_default != nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }

  size_t size = static_cast<size_t>(source_chars);
  if (source_chars == -1) {
    size = 0;
    while (source[size] != 0) ++size;
    ++size;
  }
  std::string converted;
  converted.reserve(size);
  bool defaulted = false;
  bool malformed = false;
  if (IsAnsi(code_page)) {
    const char fallback = default_char != nullptr ? *default_char : '?';
    platform::ForEachCharacter(std::u16string_view(source, size), [&](char32_t code, bool) {
      int byte = code <= 0xFFFF ? AnsiByteOf(static_cast<char16_t>(code)) : -1;
      if (byte < 0) {
        defaulted = true;
        converted.push_back(fallback);
      } else {
        converted.push_back(static_cast<char>(byte));
      }
    });
    if (used_default != nullptr) *used_default = defaulted ? TRUE : FALSE;
  } else {
    platform::ForEachCharacter(std::u16string_view(source, size), [&](char32_t code, bool well_formed) {
      if (!well_formed) malformed = true;
      platform::AppendUtf8(well_formed ? code : platform::kReplacementCharacter, &converted);
    });
    if (malformed && (flags & WC_ERR_INVALID_CHARS) != 0) {
      return Fail(ERROR_NO_UNICODE_TRANSLATION);
    }
  }
  return Deliver(converted, dest, dest_bytes);
}
