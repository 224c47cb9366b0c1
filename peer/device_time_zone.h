// The device's time zone as query 8 gives it, a TIME_ZONE_INFORMATION of
// 172 bytes in the device's byte order (little-endian):
//
//   Bias (4), StandardName (32 UTF-16 units), StandardDate (SYSTEMTIME, 16),
//   StandardBias (4), DaylightName (32 units), DaylightDate (16),
//   DaylightBias (4)
//
// and the device's local time of a UTC instant by the zone's own rules:
// local = UTC - (Bias + StandardBias, or Bias + DaylightBias in daylight
// time) minutes.
//
// A transition date whose year is 0 is a yearly rule: the `day`th
// `dayOfWeek` of `month` (5: the last), at the time of day given. One with
// a year is a fixed date; in other years the same month, day and time
// stand for it (the device gives the dates of its current year for rules
// the yearly form cannot hold). Daylight time starts at DaylightDate read
// in standard time and ends at StandardDate read in daylight time; a zone
// whose DaylightDate or StandardDate has month 0 keeps standard time.
//
// Pure; any thread.
#ifndef HOLLOWMARCH_PEER_DEVICE_TIME_ZONE_H_
#define HOLLOWMARCH_PEER_DEVICE_TIME_ZONE_H_

#include <cstdint>
#include <span>
#include <string>

namespace peer {

constexpr size_t kTimeZoneBytes = 172;

// A SYSTEMTIME's fields, in the protocol's order.
struct SystemTime {
  uint16_t year = 0;
  uint16_t month = 0;
  uint16_t dayOfWeek = 0;  // 0 Sunday
  uint16_t day = 0;
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
  bool operator==(const SystemTime&) const = default;
};

struct TimeZone {
  int32_t bias = 0;  // minutes west of UTC
  std::u16string standardName;
  SystemTime standardDate;  // back to standard time
  int32_t standardBias = 0;
  std::u16string daylightName;
  SystemTime daylightDate;  // into daylight time
  int32_t daylightBias = 0;

  bool hasDaylightTime() const { return daylightDate.month != 0 && standardDate.month != 0; }
};

// Decodes the 172 bytes at the start of `bytes`. False with *error set when
// there are fewer, a transition date is not one (a month past 12, a week
// outside 1 to 5, a day the month lacks, a time past 23:59:59), or a bias
// puts local time a day or more from UTC.
bool DecodeTimeZone(std::span<const uint8_t> bytes, TimeZone* zone, std::string* error);

// The calendar fields of `seconds` since 1970, the day of the week
// included. The year must lie in 1601 to 30827.
SystemTime CivilTime(int64_t seconds);

// Whether the zone keeps daylight time at the UTC instant.
bool InDaylightTime(const TimeZone& zone, int64_t utcSeconds);

// The device's local time at the UTC instant.
SystemTime LocalTime(const TimeZone& zone, int64_t utcSeconds);

}  // namespace peer

#endif  // HOLLOWMARCH_PEER_DEVICE_TIME_ZONE_H_
