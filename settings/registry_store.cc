#include "settings/registry_store.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/registry.h"
#include "platform/utf.h"

namespace {

constexpr const WCHAR* kSoftware = u"Software";
constexpr const WCHAR* kApps = u"Apps";
constexpr const WCHAR* kHollowmarch = u"Hollowmarch";
constexpr const WCHAR* kSettingsPath = u"Software\\Apps\\Hollowmarch";

// Longer text is no address; the limit only bounds the read.
// Long enough for an address list of dozens of entries.
constexpr DWORD kMaxTextSettingBytes = 4096;

std::atomic<SyncStateObserver> syncStateObserver{nullptr};

// One RegCreateKeyExW step with an empty class and no security attributes.
HKEY CreateSubKey(HKEY parent, const WCHAR* name) {
  WCHAR empty_class[1] = {0};
  HKEY key = 0;
  DWORD disposition = 0;
  if (RegCreateKeyExW(parent, name, 0, empty_class, 0, kSettingsKeyAccess,
                      nullptr, &key, &disposition) != ERROR_SUCCESS) {
    return 0;
  }
  return key;
}

// The per-class accessors open the key, else create it.
HKEY OpenOrCreateSettingsKey() {
  HKEY key = OpenSettingsKey();
  if (key == 0) key = CreateSettingsKey();
  return key;
}

// A value counts only when the query succeeds and it is a REG_DWORD (a value
// longer than 4 bytes makes the query itself fail).
bool QueryDword(HKEY key, const WCHAR* name, DWORD* value) {
  DWORD type = REG_NONE;
  DWORD data = 0;
  DWORD size = sizeof(data);
  LONG rc = RegQueryValueExW(key, name, nullptr, &type,
                             reinterpret_cast<BYTE*>(&data), &size);
  if (rc != ERROR_SUCCESS || type != REG_DWORD) return false;
  *value = data;
  return true;
}

bool WriteDword(HKEY key, const WCHAR* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&value),
                        sizeof(value)) == ERROR_SUCCESS;
}

DWORD ReadClassValue(const char* stem, DWORD dataClass) {
  HKEY key = OpenOrCreateSettingsKey();
  if (key == 0) return 0;
  DWORD value = 0;
  if (!QueryDword(key, ClassValueName(stem, dataClass).c_str(), &value)) value = 0;
  RegCloseKey(key);
  return value;
}

bool WriteClassValue(const char* stem, DWORD dataClass, DWORD value) {
  HKEY key = OpenOrCreateSettingsKey();
  if (key == 0) return false;
  bool written = WriteDword(key, ClassValueName(stem, dataClass).c_str(), value);
  RegCloseKey(key);
  return written;
}

}  // namespace

std::u16string ClassValueName(const char* stem, DWORD dataClass) {
  char narrow[64];
  std::snprintf(narrow, sizeof(narrow), "%s_%lu", stem,
                static_cast<unsigned long>(dataClass));
  std::u16string name;
  for (const char* p = narrow; *p != '\0'; ++p) {
    name.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
  }
  return name;
}

HKEY OpenSettingsKey() {
  HKEY key = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsPath, 0, kSettingsKeyAccess,
                    &key) != ERROR_SUCCESS) {
    return 0;
  }
  return key;
}

HKEY CreateSettingsKey() {
  HKEY software = CreateSubKey(HKEY_LOCAL_MACHINE, kSoftware);
  if (software == 0) return 0;
  HKEY apps = CreateSubKey(software, kApps);
  HKEY result = 0;
  if (apps != 0) {
    result = CreateSubKey(apps, kHollowmarch);
    RegCloseKey(apps);
  }
  RegCloseKey(software);
  return result;
}

DWORD GetPurgeDays() {
  HKEY key = OpenSettingsKey();
  if (key == 0) return kDefaultPurgeDays;
  DWORD days = kDefaultPurgeDays;
  if (!QueryDword(key, u"PurgeDays", &days)) days = kDefaultPurgeDays;
  RegCloseKey(key);
  return days;
}

bool GetKeepChangeLogs() {
  HKEY key = OpenSettingsKey();
  if (key == 0) return false;
  DWORD keep = 0;
  if (!QueryDword(key, u"KeepChangeLogs", &keep)) keep = 0;
  RegCloseKey(key);
  return keep != 0;
}

std::optional<DWORD> GetStoredPort() {
  HKEY key = OpenSettingsKey();
  if (key == 0) return std::nullopt;
  // The port counts whatever the value's type, as long as it fills 4 bytes.
  DWORD type = REG_NONE;
  DWORD data = 0;
  DWORD size = sizeof(data);
  LONG rc = RegQueryValueExW(key, u"Port", nullptr, &type,
                             reinterpret_cast<BYTE*>(&data), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || size < sizeof(data)) return std::nullopt;
  return data;
}

WORD GetPort() {
  const std::optional<DWORD> stored = GetStoredPort();
  return stored ? static_cast<WORD>(*stored & 0xFFFF) : kDefaultPort;
}

namespace {

TextSetting GetTextSetting(const char16_t* name, std::string* text) {
  text->clear();
  HKEY key = 0;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsPath, 0, kSettingsKeyAccess, &key);
  if (rc == ERROR_FILE_NOT_FOUND) return TextSetting::kMissing;
  if (rc != ERROR_SUCCESS) return TextSetting::kUnreadable;
  DWORD type = REG_NONE;
  std::vector<BYTE> data(kMaxTextSettingBytes);
  DWORD size = static_cast<DWORD>(data.size());
  rc = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
  RegCloseKey(key);
  if (rc == ERROR_FILE_NOT_FOUND) return TextSetting::kMissing;
  // A value too long to read is not the text wanted either.
  if (rc == ERROR_MORE_DATA) return TextSetting::kNotText;
  if (rc != ERROR_SUCCESS) return TextSetting::kUnreadable;
  if (type != REG_SZ || size % 2 != 0) return TextSetting::kNotText;
  std::u16string units;
  for (DWORD i = 0; i + 1 < size; i += 2) {
    char16_t unit;
    std::memcpy(&unit, &data[i], sizeof unit);
    if (unit == 0) break;
    units.push_back(unit);
  }
  if (!platform::AppendUtf16AsUtf8(units, text, /*strict=*/true)) {
    text->clear();
    return TextSetting::kNotText;
  }
  return TextSetting::kText;
}

}  // namespace

TextSetting GetListenAddress(std::string* text) { return GetTextSetting(u"ListenAddress", text); }

TextSetting GetAllowedPeers(std::string* text) { return GetTextSetting(u"AllowedPeers", text); }

DWORD GetSyncState(const SyncStateCache& cache, DWORD dataClass) {
  DWORD state = 0;
  if (cache.Lookup(dataClass, &state)) return state;
  return ReadClassValue("SyncState", dataClass);
}

DWORD GetStoredSyncState(DWORD dataClass) { return ReadClassValue("SyncState", dataClass); }

bool SetSyncState(SyncStateCache& cache, DWORD dataClass, DWORD state) {
  HKEY key = OpenOrCreateSettingsKey();
  if (key == 0) return false;
  bool written = WriteDword(key, ClassValueName("SyncState", dataClass).c_str(), state);
  RegCloseKey(key);
  // The cache takes the state even when the write failed.
  cache.Store(dataClass, state);
  if (SyncStateObserver observer = syncStateObserver.load()) observer(dataClass, state);
  return written;
}

void SetSyncStateObserver(SyncStateObserver observer) { syncStateObserver.store(observer); }

DWORD GetSyncTime(DWORD dataClass) { return ReadClassValue("SyncTime", dataClass); }

bool SetSyncTime(DWORD dataClass, DWORD time) {
  return WriteClassValue("SyncTime", dataClass, time);
}

DWORD GetLastSyncTime(DWORD dataClass) { return ReadClassValue("LastSyncTime", dataClass); }

bool SetLastSyncTime(DWORD dataClass, DWORD time) {
  return WriteClassValue("LastSyncTime", dataClass, time);
}

