#include "platform/utf.h"

namespace platform {

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

bool AppendUtf16AsUtf8(std::u16string_view in, std::string* out, bool strict) {
  out->reserve(out->size() + in.size());
  bool good = true;
  ForEachCharacter(in, [&](char32_t code, bool well_formed) {
    if (!good) return;
    if (!well_formed && strict) {
      good = false;
      return;
    }
    AppendUtf8(well_formed ? code : kReplacementCharacter, out);
  });
  return good;
}

std::string Utf16ToUtf8(std::u16string_view in) {
  std::string out;
  AppendUtf16AsUtf8(in, &out, false);
  return out;
}

bool AppendUtf8AsUtf16(std::string_view text, std::u16string* out, bool strict) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  out->reserve(out->size() + size);
  size_t i = 0;
  while (i < size) {
    const unsigned char b = in[i];
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
      out->push_back(static_cast<char16_t>(kReplacementCharacter));
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

}  // namespace platform
