#include "peer/code_page.h"

#include <cstdio>

namespace peer {
namespace {

// The characters of the bytes 0x80 to 0x9F; the rest of Windows-1252 is
// Latin-1.
constexpr char32_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  //
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// The byte of a character, or -1 when Windows-1252 lacks it.
int ByteOf(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] == c) return 0x80 + i;
  }
  return -1;
}

// The code point of the UTF-8 sequence at text[*at], moving *at past it;
// false for a sequence that is not UTF-8 (overlong, a surrogate, cut short,
// beyond U+10FFFF).
bool NextCodePoint(std::string_view text, size_t* at, char32_t* c) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(*at);
  size_t length = 0;
  char32_t value = 0, least = 0;
  if (lead < 0x80) {
    *c = lead;
    ++*at;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return false;
  }
  if (text.size() - *at < length) return false;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(*at + k) & 0xC0) != 0x80) return false;
    value = (value << 6) | (byte(*at + k) & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) return false;
  *c = value;
  *at += length;
  return true;
}

}  // namespace

bool Utf8ToWindows1252(std::string_view utf8, std::string* out, std::string* error) {
  out->clear();
  out->reserve(utf8.size());
  for (size_t at = 0; at < utf8.size();) {
    const size_t start = at;
    char32_t c = 0;
    if (!NextCodePoint(utf8, &at, &c)) {
      *error = "not UTF-8 at byte " + std::to_string(start + 1);
      return false;
    }
    const int b = ByteOf(c);
    if (b <= 0) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
      *error = c == 0 ? std::string("a NUL (U+0000), where the device would end the text")
                      : "\"" + std::string(utf8.substr(start, at - start)) + "\" (" + code +
                            "), which the device's code page (Windows-1252) cannot hold";
      return false;
    }
    out->push_back(static_cast<char>(b));
  }
  return true;
}

}  // namespace peer
