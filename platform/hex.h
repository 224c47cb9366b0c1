// Lower-case hexadecimal digits, as the system writes them into names and
// files (a database's own log name, window registrations), read back.
//
// Only what the system itself writes is accepted: the digits 0-9 and a-f.
// Upper case is refused, so that a name read back formats to the same text.
#ifndef HOLLOWMARCH_PLATFORM_HEX_H_
#define HOLLOWMARCH_PLATFORM_HEX_H_

#include <cstddef>
#include <cstdint>

namespace platform {

// The value of one lower-case hex digit (char, char16_t or char32_t), or -1.
template <typename Char>
constexpr int LowerHexDigit(Char c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  return -1;
}

// Reads exactly `count` (at most 8) lower-case hex digits from `digits` into
// *value. False, leaving *value alone, when any of them is not one. The
// digits are read in order and the first that is not one stops the read, so
// a NUL-terminated string shorter than `count` is never read past its end.
template <typename Char>
constexpr bool ParseLowerHex(const Char* digits, size_t count, uint32_t* value) {
  if (count > 8) return false;
  uint32_t v = 0;
  for (size_t i = 0; i < count; ++i) {
    const int digit = LowerHexDigit(digits[i]);
    if (digit < 0) return false;
    v = v << 4 | static_cast<uint32_t>(digit);
  }
  *value = v;
  return true;
}

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_HEX_H_
