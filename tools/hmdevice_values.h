// How hmdevice reads and writes the values it is given on its command line
// and in JSON: numbers, hex bytes, UTF-8 text and object-store properties.
//
// Every parser returns a Result: either the value or one line naming the
// problem, fit to print after "hmdevice: ". Nothing here touches the device;
// all functions are pure and may be called from any thread.
#ifndef HOLLOWMARCH_TOOLS_HMDEVICE_VALUES_H_
#define HOLLOWMARCH_TOOLS_HMDEVICE_VALUES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/object_store.h"
#include "platform/types.h"

namespace hmdevice {

// A value or the reason there is none.
template <typename T>
class Result {
 public:
  static Result Ok(T value) { return Result(std::move(value), std::string(), true); }
  static Result Fail(std::string error) { return Result(T(), std::move(error), false); }

  bool ok() const { return ok_; }
  const T& value() const { return value_; }
  T& value() { return value_; }
  const std::string& error() const { return error_; }

 private:
  Result(T value, std::string error, bool ok)
      : value_(std::move(value)), error_(std::move(error)), ok_(ok) {}
  T value_;
  std::string error_;
  bool ok_;
};

// --- Numbers -------------------------------------------------------------

// An unsigned integer in decimal or 0x-hex, no sign, at most `max`.
Result<uint64_t> ParseUnsigned(std::string_view text, uint64_t max);
// A 32-bit unsigned value (identifiers, types, message numbers, wParam).
Result<uint32_t> ParseU32(std::string_view text);
// A signed integer of `bits` (16, 32 or 64) width. Decimal takes an optional
// '-' and must lie in the signed range; 0x-hex without a sign is the value's
// bit pattern (0xFFFF as 16 bits is -1), with a '-' it is negated and must
// lie in the signed range.
Result<int64_t> ParseSigned(std::string_view text, int bits);
// A 32-bit message argument that may be given signed or unsigned: -1,
// 4294967295 and 0xFFFFFFFF are the same value.
Result<uint32_t> ParseWord32(std::string_view text);

// --- Bytes and text ------------------------------------------------------

// Hex digits, two per byte, either case; "" is no bytes.
Result<std::vector<uint8_t>> ParseHexBytes(std::string_view text);
// Lower-case hex, two digits per byte.
std::string FormatHex(const uint8_t* bytes, size_t count);
inline std::string FormatHex(const std::vector<uint8_t>& bytes) {
  return FormatHex(bytes.data(), bytes.size());
}

// Strict UTF-8 to UTF-16: overlong forms, surrogates encoded in UTF-8,
// values past U+10FFFF and truncated sequences are refused.
Result<std::u16string> Utf8ToUtf16(std::string_view text);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// The NUL-terminated string at `text` (null gives "").
std::string Utf16ToUtf8(const WCHAR* text);

// --- Properties ----------------------------------------------------------

// The property types hmdevice reads and writes: every CEVT_* of
// platform/object_store.h.
bool IsKnownPropertyType(WORD type);
// "I2", "LPWSTR", ... or the number for a type this tool does not know.
std::string PropertyTypeName(WORD type);

// One property, owning its string and bytes. Only the member that matches
// the type of `id` is meaningful.
struct Property {
  CEPROPID id = 0;
  int64_t integer = 0;         // I2, I4, UI2, UI4, BOOL
  uint64_t filetime = 0;       // FILETIME as its 64-bit integer
  double real = 0;             // R8
  std::u16string text;         // LPWSTR, without NUL
  std::vector<uint8_t> bytes;  // BLOB

  WORD type() const { return TypeFromPropId(id); }
};

// A property identifier: 32-bit, decimal or 0x-hex, whose low 16 bits name a
// known type.
Result<CEPROPID> ParsePropertyId(std::string_view text);
// The value text of a property of type `type` (see the README for the
// forms). Strings may not hold NUL, which the store would cut them at.
Result<Property> ParsePropertyValue(CEPROPID id, std::string_view text);
// "PROP=VALUE".
Result<Property> ParsePropertyArgument(std::string_view argument);
// Several "PROP=VALUE"; a property given twice is refused.
Result<std::vector<Property>> ParsePropertyArguments(const std::vector<std::string>& arguments);

// {"id":N,"value":V} with V a number for integer types, BOOL, R8 and
// FILETIME, a string for LPWSTR, a hex string for BLOB.
Result<Property> PropertyFromJson(const nlohmann::json& json);
// One import line: {"props":[{"id":N,"value":V}, ...]}.
Result<std::vector<Property>> ParseImportLine(std::string_view line);
// The same for one record already parsed: an object with "props" (other
// members, like the "oid" that rec list --json prints, are ignored).
Result<std::vector<Property>> ParseImportRecord(const nlohmann::json& json);

// A property as the store gave it. A property whose type is not known keeps
// only its identifier.
Property PropertyFromCe(const CEPROPVAL& value);
// {"id":N,"type":N,"value":V}.
nlohmann::json PropertyToJson(const Property& property);
// The value in the form ParsePropertyValue reads.
std::string FormatPropertyValue(const Property& property);

// The CEPROPVAL array for a write. Holds its own copy of the properties, so
// the pointers stay valid as long as the block lives; not copyable.
class PropertyBlock {
 public:
  explicit PropertyBlock(std::vector<Property> properties);
  PropertyBlock(const PropertyBlock&) = delete;
  PropertyBlock& operator=(const PropertyBlock&) = delete;

  CEPROPVAL* data() { return values_.data(); }
  WORD count() const { return static_cast<WORD>(values_.size()); }

 private:
  std::vector<Property> properties_;  // never resized: values_ points into it
  std::vector<CEPROPVAL> values_;
};

// The most properties one write can carry.
constexpr size_t kMaxPropertiesPerRecord = 0xFFFF;

}  // namespace hmdevice

#endif  // HOLLOWMARCH_TOOLS_HMDEVICE_VALUES_H_
