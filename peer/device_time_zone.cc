#include "peer/device_time_zone.h"

#include <algorithm>

namespace peer {
namespace {

constexpr int64_t kDay = 86400;
constexpr int32_t kMaxBiasMinutes = 24 * 60;

int32_t Le32(const uint8_t* p) {
  return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::u16string Name(const uint8_t* p) {
  std::u16string name;
  for (size_t k = 0; k < 32; ++k) {
    const char16_t c = Le16(p + 2 * k);
    if (c == 0) break;
    name.push_back(c);
  }
  return name;
}

SystemTime Date(const uint8_t* p) {
  SystemTime t;
  t.year = Le16(p), t.month = Le16(p + 2), t.dayOfWeek = Le16(p + 4), t.day = Le16(p + 6);
  t.hour = Le16(p + 8), t.minute = Le16(p + 10), t.second = Le16(p + 12), t.milliseconds = Le16(p + 14);
  return t;
}

bool IsLeapYear(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (*month <= 2);
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// 0 Sunday.
int DayOfWeek(int64_t days) { return static_cast<int>(((days % 7) + 11) % 7); }

// Local seconds since 1970 of a transition date in `year`.
int64_t LocalInstant(const SystemTime& date, int64_t year) {
  const int64_t time = date.hour * 3600LL + date.minute * 60LL + date.second;
  int64_t days;
  if (date.year != 0) {
    // Its own date in its year, the same month and day in others (February
    // 29 standing for February 28 in a common year).
    const int day = std::min<int>(date.day, DaysInMonth(year, date.month));
    days = DaysFromCivil(year, date.month, day);
  } else {
    const int64_t first = DaysFromCivil(year, date.month, 1);
    int day = 1 + (date.dayOfWeek - DayOfWeek(first) + 7) % 7 + 7 * (date.day - 1);
    while (day > DaysInMonth(year, date.month)) day -= 7;
    days = first + day - 1;
  }
  return days * kDay + time;
}

bool ValidDate(const SystemTime& t) {
  if (t.month == 0) return true;  // no transition
  if (t.month > 12 || t.hour > 23 || t.minute > 59 || t.second > 59) return false;
  if (t.year == 0) return t.day >= 1 && t.day <= 5 && t.dayOfWeek <= 6;
  return t.day >= 1 && t.day <= DaysInMonth(t.year, t.month);
}

}  // namespace

bool DecodeTimeZone(std::span<const uint8_t> bytes, TimeZone* zone, std::string* error) {
  if (bytes.size() < kTimeZoneBytes) {
    *error = "a time zone of " + std::to_string(bytes.size()) + " bytes, not " + std::to_string(kTimeZoneBytes);
    return false;
  }
  const uint8_t* p = bytes.data();
  TimeZone z;
  z.bias = Le32(p);
  z.standardName = Name(p + 4);
  z.standardDate = Date(p + 68);
  z.standardBias = Le32(p + 84);
  z.daylightName = Name(p + 88);
  z.daylightDate = Date(p + 152);
  z.daylightBias = Le32(p + 168);
  if (!ValidDate(z.standardDate) || !ValidDate(z.daylightDate)) {
    *error = "the device's time zone holds a transition date that is not one";
    return false;
  }
  // No zone is a day or more away from UTC.
  auto within = [](int64_t minutes) { return minutes > -kMaxBiasMinutes && minutes < kMaxBiasMinutes; };
  if (!within(z.bias) || !within(z.standardBias) || !within(z.daylightBias) ||
      !within(int64_t{z.bias} + z.standardBias) || !within(int64_t{z.bias} + z.daylightBias)) {
    *error = "the device's time zone is a day or more away from UTC";
    return false;
  }
  *zone = z;
  return true;
}

SystemTime CivilTime(int64_t seconds) {
  const int64_t days = FloorDiv(seconds, kDay);
  const int64_t rest = seconds - days * kDay;
  int64_t year;
  int month, day;
  CivilFromDays(days, &year, &month, &day);
  SystemTime t;
  t.year = static_cast<uint16_t>(year);
  t.month = static_cast<uint16_t>(month);
  t.day = static_cast<uint16_t>(day);
  t.dayOfWeek = static_cast<uint16_t>(DayOfWeek(days));
  t.hour = static_cast<uint16_t>(rest / 3600);
  t.minute = static_cast<uint16_t>(rest / 60 % 60);
  t.second = static_cast<uint16_t>(rest % 60);
  return t;
}

bool InDaylightTime(const TimeZone& zone, int64_t utcSeconds) {
  if (!zone.hasDaylightTime()) return false;
  const int64_t standard = (zone.bias + int64_t{zone.standardBias}) * 60;
  const int64_t daylight = (zone.bias + int64_t{zone.daylightBias}) * 60;
  const int64_t year = CivilTime(utcSeconds - standard).year;
  const int64_t start = LocalInstant(zone.daylightDate, year) + standard;
  const int64_t end = LocalInstant(zone.standardDate, year) + daylight;
  if (start < end) return utcSeconds >= start && utcSeconds < end;  // northern
  return utcSeconds >= start || utcSeconds < end;                   // southern
}

SystemTime LocalTime(const TimeZone& zone, int64_t utcSeconds) {
  const int32_t bias = zone.bias + (InDaylightTime(zone, utcSeconds) ? zone.daylightBias : zone.standardBias);
  return CivilTime(utcSeconds - int64_t{bias} * 60);
}

}  // namespace peer
