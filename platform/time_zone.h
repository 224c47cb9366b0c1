// The device's time zone, as GetTimeZoneInformation (platform/system_info.h)
// reports it.
//
// The zone is the device setting `timezone` (an IANA name), else the host's:
// $TZ (a zone name, ":name", ":/absolute/path" or a POSIX rule string), else
// /etc/localtime, else UTC. A zone file is read from /usr/share/zoneinfo and
// its rules are taken from the POSIX rule string that ends every TZif file of
// version 2 or later, e.g. "CET-1CEST,M3.5.0,M10.5.0/3".
//
// Names: the structure's StandardName and DaylightName are the rule string's
// abbreviations ("CET", "CEST"; "<+0530>" gives "+0530"); a zone without
// summer time has its one abbreviation in both.
//
// Transition dates: a rule "Mm.w.d/time" with a time of day from 0:00 to
// 23:59:59 becomes the device's yearly form (wYear 0, wMonth m, wDay w with 5
// the last week, wDayOfWeek d, the time in wHour, wMinute, wSecond). A rule
// the yearly form cannot hold exactly (a time below 0:00 or from 24:00 on, a
// day of the year "Jn" or "n") becomes that year's date (wYear set), for the
// year of the clock's local standard time; it is thus exact for the current
// year, which is the one the device's answers concern.
//
// Everything here may be called from any thread.
#ifndef HOLLOWMARCH_PLATFORM_TIME_ZONE_H_
#define HOLLOWMARCH_PLATFORM_TIME_ZONE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system_info.h"

namespace platform {

// Fills *info (all of it) from a POSIX rule string; `year` is the year whose
// dates stand for rules the yearly form cannot hold. False, leaving *info
// alone, for a malformed string.
bool TimeZoneFromPosixRule(std::string_view rule, int year, TIME_ZONE_INFORMATION* info);

// The POSIX rule string at the end of the TZif file at `path`; nullopt when
// the file cannot be read, is not TZif of version 2 or later, or has no rule.
std::optional<std::string> ReadTzifRule(const std::string& path);

// TIME_ZONE_ID_DAYLIGHT or TIME_ZONE_ID_STANDARD for the UTC instant
// `unix_seconds` under the zone's rules; TIME_ZONE_ID_UNKNOWN for a zone
// without summer time.
DWORD TimeZoneIdAt(const TIME_ZONE_INFORMATION& info, int64_t unix_seconds);

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_TIME_ZONE_H_
