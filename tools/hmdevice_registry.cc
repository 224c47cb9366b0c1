#include "tools/hmdevice_registry.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/registry.h"

namespace hmdevice {

namespace {

struct RootName {
  const char* long_name;
  const char* short_name;
  HKEY key;
};
constexpr RootName kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// A key opened for one command; the roots are never closed.
class OpenKey {
 public:
  OpenKey() = default;
  ~OpenKey() {
    if (key_ != 0 && !is_root_) RegCloseKey(key_);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;

  // ERROR_SUCCESS or the registry's error.
  LONG Open(const RegistryKeyPath& path, bool create) {
    if (path.sub_key.empty()) {
      key_ = path.root;
      is_root_ = true;
      return ERROR_SUCCESS;
    }
    if (create) {
      DWORD disposition = 0;
      return RegCreateKeyExW(path.root, path.sub_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                             &key_, &disposition);
    }
    return RegOpenKeyExW(path.root, path.sub_key.c_str(), 0, KEY_ALL_ACCESS, &key_);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = 0;
  bool is_root_ = false;
};

std::string RegistryTypeName(DWORD type) {
  switch (type) {
    case REG_DWORD: return "dword";
    case REG_SZ: return "sz";
    case REG_BINARY: return "binary";
    default: return std::to_string(type);
  }
}

std::string StringFromRegistry(const std::vector<uint8_t>& data) {
  std::u16string text(data.size() / 2, u'\0');
  std::memcpy(text.data(), data.data(), text.size() * 2);
  const size_t nul = text.find(u'\0');
  if (nul != std::u16string::npos) text.resize(nul);
  return Utf16ToUtf8(text);
}

DWORD DwordFromRegistry(const std::vector<uint8_t>& data) {
  DWORD value = 0;
  std::memcpy(&value, data.data(), sizeof value);
  return value;
}

std::string FormatRegistryValue(DWORD type, const std::vector<uint8_t>& data) {
  if (type == REG_DWORD && data.size() == 4) return std::to_string(DwordFromRegistry(data));
  if (type == REG_SZ) return StringFromRegistry(data);
  return FormatHex(data);
}

nlohmann::json RegistryValueToJson(DWORD type, const std::vector<uint8_t>& data) {
  if (type == REG_DWORD && data.size() == 4) return DwordFromRegistry(data);
  return FormatRegistryValue(type, data);
}

// The value's type and bytes, or the registry's error.
LONG QueryValue(HKEY key, const std::u16string& name, DWORD* type, std::vector<uint8_t>* data) {
  for (;;) {
    DWORD size = static_cast<DWORD>(data->size());
    LONG result = RegQueryValueExW(key, name.c_str(), nullptr, type, data->empty() ? nullptr : data->data(), &size);
    if (result == ERROR_SUCCESS && (!data->empty() || size == 0)) {
      data->resize(size);
      return ERROR_SUCCESS;
    }
    if (result != ERROR_SUCCESS && result != static_cast<LONG>(ERROR_MORE_DATA)) return result;
    data->resize(size);  // asked for the size, or the value grew meanwhile
  }
}

std::string DescribeRegistryError(LONG error) { return DescribeError(static_cast<DWORD>(error)); }

}  // namespace

Result<RegistryKeyPath> ParseRegistryKeyPath(const std::string& path) {
  const size_t slash = path.find('\\');
  const std::string root = path.substr(0, slash);
  RegistryKeyPath result;
  for (const RootName& candidate : kRoots) {
    if (EqualsIgnoringCase(root, candidate.long_name) || EqualsIgnoringCase(root, candidate.short_name)) {
      result.root = candidate.key;
    }
  }
  if (result.root == 0) return Result<RegistryKeyPath>::Fail("key \"" + path + "\": unknown root \"" + root + "\"");
  if (slash != std::string::npos) {
    Result<std::u16string> sub_key = Utf8ToUtf16(path.substr(slash + 1));
    if (!sub_key.ok()) return Result<RegistryKeyPath>::Fail("key \"" + path + "\": " + sub_key.error());
    result.sub_key = std::move(sub_key.value());
    while (!result.sub_key.empty() && result.sub_key.back() == u'\\') result.sub_key.pop_back();
  }
  return Result<RegistryKeyPath>::Ok(std::move(result));
}

int GetRegistryValueCommand(Io& io, const std::string& name, const std::string& key) {
  Result<RegistryKeyPath> path = ParseRegistryKeyPath(key);
  if (!path.ok()) return Problem(io, kExitBadInput, path.error());
  Result<std::u16string> wide_name = Utf8ToUtf16(name);
  if (!wide_name.ok()) return Problem(io, kExitBadInput, "value name: " + wide_name.error());
  OpenKey open;
  LONG result = open.Open(path.value(), /*create=*/false);
  if (result == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return Problem(io, kExitMissing, "no key " + key);
  if (result != ERROR_SUCCESS) return Problem(io, kExitFailed, "cannot open " + key + ": " + DescribeRegistryError(result));
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
  result = QueryValue(open.get(), wide_name.value(), &type, &data);
  if (result == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
    return Problem(io, kExitMissing, "no value \"" + name + "\" in " + key);
  }
  if (result != ERROR_SUCCESS) return Problem(io, kExitFailed, "cannot read \"" + name + "\": " + DescribeRegistryError(result));
  io.out << FormatRegistryValue(type, data) << "\n";
  return kExitOk;
}

int SetRegistryValueCommand(Io& io, const std::string& name, const std::string& value,
                            const std::string& type, const std::string& key) {
  Result<RegistryKeyPath> path = ParseRegistryKeyPath(key);
  if (!path.ok()) return Problem(io, kExitBadInput, path.error());
  Result<std::u16string> wide_name = Utf8ToUtf16(name);
  if (!wide_name.ok()) return Problem(io, kExitBadInput, "value name: " + wide_name.error());

  DWORD reg_type;
  std::vector<uint8_t> data;
  if (type == "dword") {
    Result<uint32_t> number = ParseU32(value);
    if (!number.ok()) return Problem(io, kExitBadInput, "dword " + number.error());
    reg_type = REG_DWORD;
    data.resize(4);
    std::memcpy(data.data(), &number.value(), 4);
  } else if (type == "sz") {
    Result<std::u16string> text = Utf8ToUtf16(value);
    if (!text.ok()) return Problem(io, kExitBadInput, "sz: " + text.error());
    reg_type = REG_SZ;
    data.resize((text.value().size() + 1) * 2);  // with the terminating NUL
    std::memcpy(data.data(), text.value().c_str(), data.size());
  } else if (type == "binary") {
    Result<std::vector<uint8_t>> bytes = ParseHexBytes(value);
    if (!bytes.ok()) return Problem(io, kExitBadInput, "binary " + bytes.error());
    reg_type = REG_BINARY;
    data = std::move(bytes.value());
  } else {
    return Problem(io, kExitBadInput, "unknown value type \"" + type + "\" (dword, sz or binary)");
  }

  OpenKey open;
  LONG result = open.Open(path.value(), /*create=*/true);
  if (result != ERROR_SUCCESS) return Problem(io, kExitFailed, "cannot create " + key + ": " + DescribeRegistryError(result));
  result = RegSetValueExW(open.get(), wide_name.value().c_str(), 0, reg_type, data.data(),
                          static_cast<DWORD>(data.size()));
  if (result != ERROR_SUCCESS) return Problem(io, kExitFailed, "cannot write \"" + name + "\": " + DescribeRegistryError(result));
  return kExitOk;
}

int DeleteRegistryValueCommand(Io& io, const std::string& name, const std::string& key) {
  Result<RegistryKeyPath> path = ParseRegistryKeyPath(key);
  if (!path.ok()) return Problem(io, kExitBadInput, path.error());
  Result<std::u16string> wide_name = Utf8ToUtf16(name);
  if (!wide_name.ok()) return Problem(io, kExitBadInput, "value name: " + wide_name.error());
  OpenKey open;
  LONG result = open.Open(path.value(), /*create=*/false);
  if (result == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return Problem(io, kExitMissing, "no key " + key);
  if (result != ERROR_SUCCESS) return Problem(io, kExitFailed, "cannot open " + key + ": " + DescribeRegistryError(result));
  result = RegDeleteValueW(open.get(), wide_name.value().c_str());
  if (result == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
    return Problem(io, kExitMissing, "no value \"" + name + "\" in " + key);
  }
  if (result != ERROR_SUCCESS) return Problem(io, kExitFailed, "cannot delete \"" + name + "\": " + DescribeRegistryError(result));
  return kExitOk;
}

int ListRegistryValuesCommand(Io& io, const std::string& key, bool json) {
  Result<RegistryKeyPath> path = ParseRegistryKeyPath(key);
  if (!path.ok()) return Problem(io, kExitBadInput, path.error());
  OpenKey open;
  LONG result = open.Open(path.value(), /*create=*/false);
  if (result == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return Problem(io, kExitMissing, "no key " + key);
  if (result != ERROR_SUCCESS) return Problem(io, kExitFailed, "cannot open " + key + ": " + DescribeRegistryError(result));

  constexpr DWORD kMaxNameChars = 16384;  // the registry's longest value name, with NUL
  std::u16string name(kMaxNameChars, u'\0');
  std::vector<uint8_t> data(256);
  nlohmann::json list = nlohmann::json::array();
  std::ostringstream text;
  for (DWORD index = 0;;) {
    DWORD name_chars = kMaxNameChars;
    DWORD type = REG_NONE;
    DWORD size = static_cast<DWORD>(data.size());
    result = RegEnumValueW(open.get(), index, name.data(), &name_chars, nullptr, &type, data.data(), &size);
    if (result == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    if (result == static_cast<LONG>(ERROR_MORE_DATA) && size > data.size()) {
      data.resize(size);
      continue;  // the same index again with room for its data
    }
    if (result != ERROR_SUCCESS) return Problem(io, kExitFailed, "cannot list " + key + ": " + DescribeRegistryError(result));
    const std::vector<uint8_t> value(data.begin(), data.begin() + std::min<size_t>(size, data.size()));
    const std::string value_name = Utf16ToUtf8(std::u16string_view(name.data(), std::min<DWORD>(name_chars, kMaxNameChars)));
    list.push_back({{"name", value_name}, {"type", type}, {"value", RegistryValueToJson(type, value)}});
    text << value_name << " " << RegistryTypeName(type) << " " << FormatRegistryValue(type, value) << "\n";
    ++index;
  }
  io.out << (json ? list.dump() + "\n" : text.str());
  return kExitOk;
}

}  // namespace hmdevice
