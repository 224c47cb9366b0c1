#include "platform/system_info.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/civil_time.h"
#include "platform/device.h"
#include "platform/fault.h"
#include "platform/kernel.h"

namespace {

// FILETIME counts 100-ns intervals from 1601-01-01, 134774 days before 1970.
constexpr int64_t kDaysFrom1601To1970 = 134774;
constexpr int64_t kTicksPerMs = 10000;
constexpr int64_t kMsPerDay = 86400000;
// The device's FILETIME range: the top bit must be clear; SYSTEMTIME stops
// at the end of year 30827.
constexpr uint64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFFull;

bool ValidSystemTime(const SYSTEMTIME& t) {
  return t.wYear >= 1601 && t.wYear <= 30827 && t.wMonth >= 1 && t.wMonth <= 12 &&
         t.wDay >= 1 && t.wDay <= platform::DaysInMonth(t.wYear, t.wMonth) && t.wHour < 24 &&
         t.wMinute < 60 && t.wSecond < 60 && t.wMilliseconds < 1000;
}

}  // namespace

void GetSystemTime(SYSTEMTIME* time) {
  if (time == nullptr) return;
  int64_t unix_ms;
  if (auto clock = platform::fault::ClockOverride()) {
    unix_ms = static_cast<int64_t>(*clock) * 1000;
  } else {
    unix_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
  }
  *time = platform::SystemTimeFromUnixMs(unix_ms + platform::DeviceClockOffsetSeconds() * 1000);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* time, FILETIME* file_time) {
  if (time == nullptr || file_time == nullptr || !ValidSystemTime(*time)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // wDayOfWeek is ignored, as on the device.
  const int64_t days = platform::DaysFromCivil(time->wYear, time->wMonth, time->wDay) +
                       kDaysFrom1601To1970;
  const int64_t ms = days * kMsPerDay + time->wHour * 3600000LL + time->wMinute * 60000LL +
                     time->wSecond * 1000LL + time->wMilliseconds;
  const uint64_t ticks = static_cast<uint64_t>(ms) * kTicksPerMs;
  file_time->dwLowDateTime = static_cast<DWORD>(ticks);
  file_time->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* file_time, SYSTEMTIME* time) {
  if (file_time == nullptr || time == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const uint64_t ticks =
      (static_cast<uint64_t>(file_time->dwHighDateTime) << 32) | file_time->dwLowDateTime;
  if (ticks > kMaxFileTime) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int64_t ms = static_cast<int64_t>(ticks / kTicksPerMs);
  *time = platform::SystemTimeFromUnixMs(ms - kDaysFrom1601To1970 * kMsPerDay);
  return TRUE;
}

BOOL GetVersionExW(OSVERSIONINFOW* info) {
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The setting is validated as "major.minor" when stored; anything else
  // (no device open, an older root) reads as the default.
  unsigned major = 3;
  unsigned minor = 0;
  const std::string version = platform::GetDeviceSetting("os-version");
  unsigned parsed_major;
  unsigned parsed_minor;
  int consumed = 0;
  if (std::sscanf(version.c_str(), "%u.%u%n", &parsed_major, &parsed_minor, &consumed) == 2 &&
      static_cast<size_t>(consumed) == version.size()) {
    major = parsed_major;
    minor = parsed_minor;
  }
  info->dwMajorVersion = major;
  info->dwMinorVersion = minor;
  info->dwBuildNumber = 0;
  info->dwPlatformId = VER_PLATFORM_WIN32_CE;
  for (WCHAR& c : info->szCSDVersion) c = 0;
  return TRUE;
}
