#include "tools/hmdevice_values.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <type_traits>

#include "platform/utf.h"

namespace hmdevice {

namespace {

bool IsHexPrefixed(std::string_view text) {
  return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// Digits only, no sign: from_chars would otherwise accept a leading '-'.
Result<uint64_t> ParseMagnitude(std::string_view text) {
  int base = 10;
  if (IsHexPrefixed(text)) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return Result<uint64_t>::Fail("empty number");
  for (char c : text) {
    bool digit = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                            : (c >= '0' && c <= '9');
    if (!digit) return Result<uint64_t>::Fail("not a number");
  }
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec == std::errc::result_out_of_range) return Result<uint64_t>::Fail("out of range");
  if (ec != std::errc() || end != text.data() + text.size()) {
    return Result<uint64_t>::Fail("not a number");
  }
  return Result<uint64_t>::Ok(value);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A JSON integer that is not negative, whichever way the JSON holds it.
std::optional<uint64_t> NonNegativeInteger(const nlohmann::json& json) {
  if (json.is_number_unsigned()) return json.get<uint64_t>();
  if (json.is_number_integer() && json.get<int64_t>() >= 0) {
    return static_cast<uint64_t>(json.get<int64_t>());
  }
  return std::nullopt;
}

std::string Quote(std::string_view text) { return "\"" + std::string(text) + "\""; }

Result<Property> Fail(CEPROPID id, const std::string& why) {
  char name[16];
  std::snprintf(name, sizeof name, "0x%08X", id);
  return Result<Property>::Fail("property " + std::string(name) + ": " + why);
}

Result<std::u16string> TextWithoutNul(std::string_view utf8) {
  if (utf8.find('\0') != std::string_view::npos) {
    return Result<std::u16string>::Fail("text holds a NUL character");
  }
  return Utf8ToUtf16(utf8);
}

}  // namespace

// --- Numbers -------------------------------------------------------------

Result<uint64_t> ParseUnsigned(std::string_view text, uint64_t max) {
  if (text.size() > 1 && text.front() == '-' && ParseMagnitude(text.substr(1)).ok()) {
    return Result<uint64_t>::Fail(Quote(text) + ": out of range (no negative values)");
  }
  Result<uint64_t> magnitude = ParseMagnitude(text);
  if (!magnitude.ok()) return Result<uint64_t>::Fail(Quote(text) + ": " + magnitude.error());
  if (magnitude.value() > max) return Result<uint64_t>::Fail(Quote(text) + ": out of range");
  return magnitude;
}

Result<uint32_t> ParseU32(std::string_view text) {
  Result<uint64_t> value = ParseUnsigned(text, 0xFFFFFFFFu);
  if (!value.ok()) return Result<uint32_t>::Fail(value.error());
  return Result<uint32_t>::Ok(static_cast<uint32_t>(value.value()));
}

Result<int64_t> ParseSigned(std::string_view text, int bits) {
  std::string_view digits = text;
  bool negative = !digits.empty() && digits.front() == '-';
  if (negative) digits.remove_prefix(1);
  Result<uint64_t> magnitude = ParseMagnitude(digits);
  if (!magnitude.ok()) return Result<int64_t>::Fail(Quote(text) + ": " + magnitude.error());
  const uint64_t m = magnitude.value();
  const uint64_t max_positive = (uint64_t{1} << (bits - 1)) - 1;
  const uint64_t max_negative = uint64_t{1} << (bits - 1);  // magnitude of the minimum
  if (negative) {
    if (m > max_negative) return Result<int64_t>::Fail(Quote(text) + ": out of range");
    return Result<int64_t>::Ok(m == max_negative ? std::numeric_limits<int64_t>::min() >> (64 - bits)
                                                 : -static_cast<int64_t>(m));
  }
  if (IsHexPrefixed(digits)) {
    const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    if (m > mask) return Result<int64_t>::Fail(Quote(text) + ": out of range");
    if (m > max_positive) {  // the bit pattern of a negative value
      return Result<int64_t>::Ok(bits == 64 ? static_cast<int64_t>(m)
                                            : static_cast<int64_t>(m) - static_cast<int64_t>(mask) - 1);
    }
    return Result<int64_t>::Ok(static_cast<int64_t>(m));
  }
  if (m > max_positive) return Result<int64_t>::Fail(Quote(text) + ": out of range");
  return Result<int64_t>::Ok(static_cast<int64_t>(m));
}

Result<uint32_t> ParseWord32(std::string_view text) {
  if (!text.empty() && text.front() == '-') {
    Result<int64_t> value = ParseSigned(text, 32);
    if (!value.ok()) return Result<uint32_t>::Fail(value.error());
    return Result<uint32_t>::Ok(static_cast<uint32_t>(value.value()));
  }
  return ParseU32(text);
}

// --- Bytes and text ------------------------------------------------------

Result<std::vector<uint8_t>> ParseHexBytes(std::string_view text) {
  if (text.size() % 2 != 0) {
    return Result<std::vector<uint8_t>>::Fail(Quote(text) + ": odd number of hex digits");
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = HexDigit(text[i]);
    int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) {
      return Result<std::vector<uint8_t>>::Fail(Quote(text) + ": not hex bytes");
    }
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return Result<std::vector<uint8_t>>::Ok(std::move(bytes));
}

std::string FormatHex(const uint8_t* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0xF]);
  }
  return out;
}

Result<std::u16string> Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  if (!platform::AppendUtf8AsUtf16(text, &out, /*strict=*/true)) {
    return Result<std::u16string>::Fail("text is not valid UTF-8");
  }
  return Result<std::u16string>::Ok(std::move(out));
}

std::string Utf16ToUtf8(std::u16string_view text) { return platform::Utf16ToUtf8(text); }

std::string Utf16ToUtf8(const WCHAR* text) {
  return text == nullptr ? std::string() : Utf16ToUtf8(std::u16string_view(text));
}

// --- Properties ----------------------------------------------------------

namespace {

// What a value parser says: nothing when the value was taken, else why not
// (without the property's name, which the caller adds).
using Problem = std::optional<std::string>;

// Everything this tool knows of one property type. Each of the functions
// below that depends on the type looks it up here, so a type is added or
// changed in this one table.
struct PropertyType {
  WORD type;
  const char* name;
  // The value text / JSON value into the matching member of *property.
  Problem (*parse_text)(std::string_view text, Property* property);
  Problem (*parse_json)(const nlohmann::json& value, Property* property);
  // Between the matching member and the store's value union. to_ce may
  // point into *property (strings and bytes).
  void (*from_ce)(const CEVALUNION& value, Property* property);
  void (*to_ce)(Property* property, CEVALUNION* value);
  nlohmann::json (*to_json)(const Property& property);
  std::string (*format)(const Property& property);
};

// I2, I4, UI2 and UI4: `integer`, in the range of `Bits` bits, kept in the
// union's `Member`.
template <bool Signed, int Bits, auto Member>
struct IntegerType {
  static Problem ParseText(std::string_view text, Property* property) {
    if (Signed) {
      Result<int64_t> value = ParseSigned(text, Bits);
      if (!value.ok()) return value.error();
      property->integer = value.value();
    } else {
      Result<uint64_t> value = ParseUnsigned(text, (uint64_t{1} << Bits) - 1);
      if (!value.ok()) return value.error();
      property->integer = static_cast<int64_t>(value.value());
    }
    return std::nullopt;
  }
  static Problem ParseJson(const nlohmann::json& value, Property* property) {
    if (!value.is_number_integer()) return value.dump() + " is not an integer";
    if (Signed) {
      const int64_t min = -(int64_t{1} << (Bits - 1));
      const int64_t max = (int64_t{1} << (Bits - 1)) - 1;
      if (value.is_number_unsigned() ? value.get<uint64_t>() > static_cast<uint64_t>(max)
                                     : (value.get<int64_t>() < min || value.get<int64_t>() > max)) {
        return value.dump() + ": out of range";
      }
      property->integer = value.get<int64_t>();
    } else {
      const std::optional<uint64_t> number = NonNegativeInteger(value);
      if (!number || *number > (uint64_t{1} << Bits) - 1) return value.dump() + ": out of range";
      property->integer = static_cast<int64_t>(*number);
    }
    return std::nullopt;
  }
  static void FromCe(const CEVALUNION& value, Property* property) {
    property->integer = value.*Member;
  }
  static void ToCe(Property* property, CEVALUNION* value) {
    using Field = std::remove_reference_t<decltype(value->*Member)>;
    value->*Member = static_cast<Field>(property->integer);
  }
};

Problem BoolFromText(std::string_view text, Property* property) {
  if (text != "0" && text != "1") return Quote(text) + ": a BOOL is 0 or 1";
  property->integer = text == "1";
  return std::nullopt;
}

Problem BoolFromJson(const nlohmann::json& value, Property* property) {
  if (value.is_boolean()) {
    property->integer = value.get<bool>();
  } else if (NonNegativeInteger(value).value_or(2) <= 1) {
    property->integer = static_cast<int64_t>(*NonNegativeInteger(value));
  } else {
    return value.dump() + ": a BOOL is 0 or 1";
  }
  return std::nullopt;
}

void BoolFromCe(const CEVALUNION& value, Property* property) { property->integer = value.boolVal; }

void BoolToCe(Property* property, CEVALUNION* value) {
  value->boolVal = static_cast<BOOL>(property->integer);
}

nlohmann::json IntegerToJson(const Property& property) { return property.integer; }

std::string FormatInteger(const Property& property) { return std::to_string(property.integer); }

Problem RealFromText(std::string_view text, Property* property) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(value)) {
    return Quote(text) + ": not a finite decimal number";
  }
  property->real = value;
  return std::nullopt;
}

Problem RealFromJson(const nlohmann::json& value, Property* property) {
  if (!value.is_number()) return value.dump() + " is not a number";
  property->real = value.get<double>();
  return std::nullopt;
}

void RealFromCe(const CEVALUNION& value, Property* property) { property->real = value.dblVal; }

void RealToCe(Property* property, CEVALUNION* value) { value->dblVal = property->real; }

nlohmann::json RealToJson(const Property& property) { return property.real; }

std::string FormatReal(const Property& property) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, property.real);
  return ec == std::errc() ? std::string(buffer, end) : std::string("nan");
}

Problem FiletimeFromText(std::string_view text, Property* property) {
  Result<uint64_t> value = ParseUnsigned(text, std::numeric_limits<uint64_t>::max());
  if (!value.ok()) return value.error();
  property->filetime = value.value();
  return std::nullopt;
}

Problem FiletimeFromJson(const nlohmann::json& value, Property* property) {
  const std::optional<uint64_t> number = NonNegativeInteger(value);
  if (!number) return value.dump() + " is not a 64-bit unsigned integer";
  property->filetime = *number;
  return std::nullopt;
}

void FiletimeFromCe(const CEVALUNION& value, Property* property) {
  property->filetime = uint64_t{value.filetime.dwHighDateTime} << 32 | value.filetime.dwLowDateTime;
}

void FiletimeToCe(Property* property, CEVALUNION* value) {
  value->filetime.dwLowDateTime = static_cast<DWORD>(property->filetime);
  value->filetime.dwHighDateTime = static_cast<DWORD>(property->filetime >> 32);
}

nlohmann::json FiletimeToJson(const Property& property) { return property.filetime; }

std::string FormatFiletime(const Property& property) { return std::to_string(property.filetime); }

Problem TextFromText(std::string_view text, Property* property) {
  Result<std::u16string> value = TextWithoutNul(text);
  if (!value.ok()) return value.error();
  property->text = std::move(value.value());
  return std::nullopt;
}

Problem TextFromJson(const nlohmann::json& value, Property* property) {
  if (!value.is_string()) return value.dump() + " is not a string";
  return TextFromText(value.get_ref<const std::string&>(), property);
}

void TextFromCe(const CEVALUNION& value, Property* property) {
  if (value.lpwstr != nullptr) property->text = value.lpwstr;
}

void TextToCe(Property* property, CEVALUNION* value) { value->lpwstr = property->text.data(); }

nlohmann::json TextToJson(const Property& property) { return Utf16ToUtf8(property.text); }

std::string FormatText(const Property& property) { return Utf16ToUtf8(property.text); }

Problem BytesFromText(std::string_view text, Property* property) {
  Result<std::vector<uint8_t>> value = ParseHexBytes(text);
  if (!value.ok()) return value.error();
  property->bytes = std::move(value.value());
  return std::nullopt;
}

Problem BytesFromJson(const nlohmann::json& value, Property* property) {
  if (!value.is_string()) return value.dump() + " is not a hex string";
  return BytesFromText(value.get_ref<const std::string&>(), property);
}

void BytesFromCe(const CEVALUNION& value, Property* property) {
  if (value.blob.lpb != nullptr) {
    property->bytes.assign(value.blob.lpb, value.blob.lpb + value.blob.dwCount);
  }
}

void BytesToCe(Property* property, CEVALUNION* value) {
  value->blob.dwCount = static_cast<DWORD>(property->bytes.size());
  value->blob.lpb = property->bytes.empty() ? nullptr : property->bytes.data();
}

nlohmann::json BytesToJson(const Property& property) { return FormatHex(property.bytes); }

std::string FormatBytes(const Property& property) { return FormatHex(property.bytes); }

template <bool Signed, int Bits, auto Member>
constexpr PropertyType Integer(WORD type, const char* name) {
  using T = IntegerType<Signed, Bits, Member>;
  return {type, name, T::ParseText, T::ParseJson, T::FromCe, T::ToCe, IntegerToJson, FormatInteger};
}

// Every CEVT_* of platform/object_store.h.
constexpr PropertyType kPropertyTypes[] = {
    Integer<true, 16, &CEVALUNION::iVal>(CEVT_I2, "I2"),
    Integer<true, 32, &CEVALUNION::lVal>(CEVT_I4, "I4"),
    {CEVT_R8, "R8", RealFromText, RealFromJson, RealFromCe, RealToCe, RealToJson, FormatReal},
    {CEVT_BOOL, "BOOL", BoolFromText, BoolFromJson, BoolFromCe, BoolToCe, IntegerToJson,
     FormatInteger},
    Integer<false, 16, &CEVALUNION::uiVal>(CEVT_UI2, "UI2"),
    Integer<false, 32, &CEVALUNION::ulVal>(CEVT_UI4, "UI4"),
    {CEVT_LPWSTR, "LPWSTR", TextFromText, TextFromJson, TextFromCe, TextToCe, TextToJson,
     FormatText},
    {CEVT_FILETIME, "FILETIME", FiletimeFromText, FiletimeFromJson, FiletimeFromCe, FiletimeToCe,
     FiletimeToJson, FormatFiletime},
    {CEVT_BLOB, "BLOB", BytesFromText, BytesFromJson, BytesFromCe, BytesToCe, BytesToJson,
     FormatBytes},
};

// The table's entry for `type`; null for a type this tool does not know.
const PropertyType* FindPropertyType(WORD type) {
  for (const PropertyType& entry : kPropertyTypes) {
    if (entry.type == type) return &entry;
  }
  return nullptr;
}

}  // namespace

bool IsKnownPropertyType(WORD type) { return FindPropertyType(type) != nullptr; }

std::string PropertyTypeName(WORD type) {
  const PropertyType* entry = FindPropertyType(type);
  return entry != nullptr ? entry->name : std::to_string(type);
}

Result<CEPROPID> ParsePropertyId(std::string_view text) {
  Result<uint32_t> id = ParseU32(text);
  if (!id.ok()) return Result<CEPROPID>::Fail("property identifier " + id.error());
  if (!IsKnownPropertyType(TypeFromPropId(id.value()))) {
    return Result<CEPROPID>::Fail("property identifier " + Quote(text) + ": unknown type " +
                                  std::to_string(TypeFromPropId(id.value())));
  }
  return Result<CEPROPID>::Ok(id.value());
}

Result<Property> ParsePropertyValue(CEPROPID id, std::string_view text) {
  Property property;
  property.id = id;
  const PropertyType* entry = FindPropertyType(property.type());
  if (entry == nullptr) return Fail(id, "unknown type " + std::to_string(property.type()));
  if (Problem problem = entry->parse_text(text, &property)) return Fail(id, *problem);
  return Result<Property>::Ok(std::move(property));
}

Result<Property> ParsePropertyArgument(std::string_view argument) {
  const size_t equals = argument.find('=');
  if (equals == std::string_view::npos) {
    return Result<Property>::Fail(Quote(argument) + ": expected PROP=VALUE");
  }
  Result<CEPROPID> id = ParsePropertyId(argument.substr(0, equals));
  if (!id.ok()) return Result<Property>::Fail(id.error());
  return ParsePropertyValue(id.value(), argument.substr(equals + 1));
}

namespace {

Result<std::vector<Property>> CheckDistinct(std::vector<Property> properties) {
  if (properties.size() > kMaxPropertiesPerRecord) {
    return Result<std::vector<Property>>::Fail("too many properties for one record");
  }
  std::set<CEPROPID> seen;
  for (const Property& property : properties) {
    if (!seen.insert(property.id).second) {
      char name[16];
      std::snprintf(name, sizeof name, "0x%08X", property.id);
      return Result<std::vector<Property>>::Fail("property " + std::string(name) + " given twice");
    }
  }
  return Result<std::vector<Property>>::Ok(std::move(properties));
}

}  // namespace

Result<std::vector<Property>> ParsePropertyArguments(const std::vector<std::string>& arguments) {
  std::vector<Property> properties;
  for (const std::string& argument : arguments) {
    Result<Property> property = ParsePropertyArgument(argument);
    if (!property.ok()) return Result<std::vector<Property>>::Fail(property.error());
    properties.push_back(std::move(property.value()));
  }
  return CheckDistinct(std::move(properties));
}

Result<Property> PropertyFromJson(const nlohmann::json& json) {
  if (!json.is_object() || !json.contains("id") || !json.contains("value")) {
    return Result<Property>::Fail("a property is {\"id\":N,\"value\":V}");
  }
  const nlohmann::json& id_json = json["id"];
  const std::optional<uint64_t> id_number = NonNegativeInteger(id_json);
  if (!id_number || *id_number > 0xFFFFFFFFu) {
    return Result<Property>::Fail("property id " + id_json.dump() + " is not a 32-bit number");
  }
  const auto id = static_cast<CEPROPID>(*id_number);
  if (!IsKnownPropertyType(TypeFromPropId(id))) {
    return Fail(id, "unknown type " + std::to_string(TypeFromPropId(id)));
  }
  Property property;
  property.id = id;
  if (Problem problem = FindPropertyType(property.type())->parse_json(json["value"], &property)) {
    return Fail(id, *problem);
  }
  return Result<Property>::Ok(std::move(property));
}

Result<std::vector<Property>> ParseImportLine(std::string_view line) {
  // Without exceptions: a parse failure gives a discarded value.
  nlohmann::json json = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded()) return Result<std::vector<Property>>::Fail("not JSON");
  return ParseImportRecord(json);
}

Result<std::vector<Property>> ParseImportRecord(const nlohmann::json& json) {
  if (!json.is_object() || !json.contains("props") || !json["props"].is_array()) {
    return Result<std::vector<Property>>::Fail("expected {\"props\":[...]}");
  }
  std::vector<Property> properties;
  for (const nlohmann::json& item : json["props"]) {
    Result<Property> property = PropertyFromJson(item);
    if (!property.ok()) return Result<std::vector<Property>>::Fail(property.error());
    properties.push_back(std::move(property.value()));
  }
  return CheckDistinct(std::move(properties));
}

Property PropertyFromCe(const CEPROPVAL& value) {
  Property property;
  property.id = value.propid;
  if (const PropertyType* entry = FindPropertyType(property.type())) {
    entry->from_ce(value.val, &property);
  }
  return property;
}

nlohmann::json PropertyToJson(const Property& property) {
  nlohmann::json json = {{"id", property.id}, {"type", property.type()}};
  const PropertyType* entry = FindPropertyType(property.type());
  json["value"] = entry != nullptr ? entry->to_json(property) : nlohmann::json(nullptr);
  return json;
}

std::string FormatPropertyValue(const Property& property) {
  const PropertyType* entry = FindPropertyType(property.type());
  return entry != nullptr ? entry->format(property) : "?";
}

PropertyBlock::PropertyBlock(std::vector<Property> properties)
    : properties_(std::move(properties)) {
  values_.resize(properties_.size());
  for (size_t i = 0; i < properties_.size(); ++i) {
    Property& property = properties_[i];
    CEPROPVAL& value = values_[i];
    std::memset(&value, 0, sizeof value);
    value.propid = property.id;
    if (const PropertyType* entry = FindPropertyType(property.type())) {
      entry->to_ce(&property, &value.val);
    }
  }
}

}  // namespace hmdevice
