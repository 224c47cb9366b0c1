// Device information: clock, version, free space and time zone.
#ifndef HOLLOWMARCH_PLATFORM_SYSTEM_INFO_H_
#define HOLLOWMARCH_PLATFORM_SYSTEM_INFO_H_

#include "platform/types.h"

// The current time in UTC: the host's clock (or the one a test set) moved by
// the device setting clock-offset (platform/device.h). Any thread.
void GetSystemTime(SYSTEMTIME* time);
// 100-ns intervals since 1601-01-01. FALSE for an invalid date.
BOOL SystemTimeToFileTime(const SYSTEMTIME* time, FILETIME* file_time);
BOOL FileTimeToSystemTime(const FILETIME* file_time, SYSTEMTIME* time);

struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;  // 276
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOW) == 276);
constexpr DWORD VER_PLATFORM_WIN32_CE = 3;
// From the device setting os-version ("3.0" unless changed).
BOOL GetVersionExW(OSVERSIONINFOW* info);

// Free space. A null or empty name, or "\", means the object store: its
// capacity and free bytes. "Storage Card" and "Program Files" (with or
// without a leading backslash) are the device root's volume folders and
// answer the host file system's figures for them. Any argument may be null.
// FALSE with ERROR_FILE_NOT_FOUND for another name.
BOOL GetDiskFreeSpaceExW(LPCWSTR directory, ULARGE_INTEGER* free_to_caller,
                         ULARGE_INTEGER* total_bytes,
                         ULARGE_INTEGER* total_free_bytes);

// The device's layout: 172 bytes, little-endian, names of 32 UTF-16 units.
#pragma pack(push, 4)
struct TIME_ZONE_INFORMATION {
  LONG Bias;  // minutes west of UTC: UTC = local time + Bias
  WCHAR StandardName[32];
  SYSTEMTIME StandardDate;  // wYear 0: yearly rule, wDay = week of month 1..5
  LONG StandardBias;
  WCHAR DaylightName[32];
  SYSTEMTIME DaylightDate;
  LONG DaylightBias;
};
#pragma pack(pop)
static_assert(sizeof(TIME_ZONE_INFORMATION) == 172);

constexpr DWORD TIME_ZONE_ID_UNKNOWN = 0;
constexpr DWORD TIME_ZONE_ID_STANDARD = 1;
constexpr DWORD TIME_ZONE_ID_DAYLIGHT = 2;
constexpr DWORD TIME_ZONE_ID_INVALID = 0xFFFFFFFF;
// The device's zone (device setting timezone, else the host's; how it is read
// and described: platform/time_zone.h) and whether summer time is in force
// now (by GetSystemTime's clock): TIME_ZONE_ID_DAYLIGHT or _STANDARD, or
// TIME_ZONE_ID_UNKNOWN for a zone without summer time. TIME_ZONE_ID_INVALID,
// leaving *info alone, when the zone cannot be read (ERROR_FILE_NOT_FOUND)
// or its rules cannot be understood (ERROR_NOT_SUPPORTED).
DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* info);

#endif  // HOLLOWMARCH_PLATFORM_SYSTEM_INFO_H_
