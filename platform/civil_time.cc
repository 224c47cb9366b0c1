#include "platform/civil_time.h"

namespace platform {

bool IsLeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int64_t year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Howard Hinnant's days_from_civil: years start in March so that the leap
// day comes last, and eras of 400 years repeat exactly.
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, int* month, int* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  *day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = year_of_era + era * 400 + (*month <= 2);
}

int DayOfWeek(int64_t days) {
  // 1970-01-01 was a Thursday.
  int64_t w = (days + 4) % 7;
  return static_cast<int>(w < 0 ? w + 7 : w);
}

SYSTEMTIME SystemTimeFromUnixMs(int64_t unix_ms) {
  int64_t days = unix_ms / 86400000;
  int64_t ms_of_day = unix_ms % 86400000;
  if (ms_of_day < 0) {
    ms_of_day += 86400000;
    --days;
  }
  int64_t year;
  int month;
  int day;
  CivilFromDays(days, &year, &month, &day);
  SYSTEMTIME t;
  t.wYear = static_cast<WORD>(year);
  t.wMonth = static_cast<WORD>(month);
  t.wDayOfWeek = static_cast<WORD>(DayOfWeek(days));
  t.wDay = static_cast<WORD>(day);
  t.wHour = static_cast<WORD>(ms_of_day / 3600000);
  t.wMinute = static_cast<WORD>(ms_of_day / 60000 % 60);
  t.wSecond = static_cast<WORD>(ms_of_day / 1000 % 60);
  t.wMilliseconds = static_cast<WORD>(ms_of_day % 1000);
  return t;
}

}  // namespace platform
