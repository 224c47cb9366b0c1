// Conversions between UTF-16 (the device's text) and UTF-8 (the host's, and
// the store file's), used by the platform and by tools that read the
// device. Each takes a `strict` switch: strict conversions fail on malformed
// input, the others put U+FFFD in its place.
//
// All functions are pure and may be called from any thread.
#ifndef HOLLOWMARCH_PLATFORM_UTF_H_
#define HOLLOWMARCH_PLATFORM_UTF_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Appends the UTF-8 form of `code`, a code point other than a surrogate.
void AppendUtf8(char32_t code, std::string* out);

// Walks UTF-16 by character: a well-formed surrogate pair is one character,
// a lone surrogate one malformed character. Calls emit(code, well_formed).
template <typename Emit>
void ForEachCharacter(std::u16string_view in, Emit emit) {
  for (size_t i = 0; i < in.size(); ++i) {
    const char16_t c = in[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      emit(0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (in[i + 1] - 0xDC00), true);
      ++i;
    } else {
      emit(static_cast<char32_t>(c), !(c >= 0xD800 && c <= 0xDFFF));
    }
  }
}

// Appends `in` as UTF-8. A lone surrogate makes a strict conversion return
// false (*out then holds what came before it).
bool AppendUtf16AsUtf8(std::u16string_view in, std::string* out, bool strict);
// `in` as UTF-8, lone surrogates replaced.
std::string Utf16ToUtf8(std::u16string_view in);

// Appends `in` as UTF-16. Malformed UTF-8 (a bad or cut-short sequence, an
// overlong form, a surrogate or a code point past U+10FFFF) makes a strict
// conversion return false; otherwise each maximal malformed part becomes
// one U+FFFD.
bool AppendUtf8AsUtf16(std::string_view in, std::u16string* out, bool strict);

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_UTF_H_
