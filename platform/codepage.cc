#include "platform/codepage.h"

#include <cstring>
#include <string>

#include "platform/kernel.h"

namespace {

// Characters of the bytes 0x80 to 0x9F; the rest of Windows-1252 is Latin-1.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr char16_t kReplacement = 0xFFFD;

bool IsAnsi(UINT code_page) { return code_page == CP_ACP || code_page == CP_1252; }

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

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

// False on malformed input when `strict`; otherwise malformed sequences
// become U+FFFD, one for each maximal bad subpart.
bool Utf8ToUtf16(const unsigned char* in, size_t size, bool strict, std::u16string* out) {
  size_t i = 0;
  while (i < size) {
    unsigned char b = in[i];
    if (b < 0x80) {
      out->push_back(b);
      ++i;
      continue;
    }
    int length = 0;
    char32_t code = 0;
    char32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      length = 2, code = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3, code = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4, code = b & 0x07, min = 0x10000;
    }
    size_t j = i + 1;
    bool good = length != 0;
    for (int k = 1; good && k < length; ++k, ++j) {
      if (j >= size || (in[j] & 0xC0) != 0x80) {
        good = false;
        break;
      }
      code = (code << 6) | (in[j] & 0x3F);
    }
    if (good && (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) {
      good = false;
    }
    if (!good) {
      if (strict) return false;
      out->push_back(kReplacement);
      // Always advance by at least one byte; the bytes that looked like a
      // continuation are examined again on their own.
      i = i + 1;
      while (i < size && (in[i] & 0xC0) == 0x80 && j > i) ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(code));
    }
    i = j;
  }
  return true;
}

void AppendUtf8(char32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Walks UTF-16 by character: a well-formed pair is one character, a lone
// surrogate is one bad character. Calls emit(code, well_formed).
template <typename Emit>
void ForEachCharacter(const char16_t* in, size_t size, Emit emit) {
  for (size_t i = 0; i < size; ++i) {
    char16_t c = in[i];
    if (IsHighSurrogate(c) && i + 1 < size && IsLowSurrogate(in[i + 1])) {
      emit(0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (in[i + 1] - 0xDC00), true);
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      emit(c, false);
    } else {
      emit(c, true);
    }
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
  } else if (!Utf8ToUtf16(bytes, size, (flags & MB_ERR_INVALID_CHARS) != 0, &converted)) {
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
    ForEachCharacter(source, size, [&](char32_t code, bool) {
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
    ForEachCharacter(source, size, [&](char32_t code, bool well_formed) {
      if (!well_formed) malformed = true;
      AppendUtf8(well_formed ? code : kReplacement, &converted);
    });
    if (malformed && (flags & WC_ERR_INVALID_CHARS) != 0) {
      return Fail(ERROR_NO_UNICODE_TRANSLATION);
    }
  }
  return Deliver(converted, dest, dest_bytes);
}
