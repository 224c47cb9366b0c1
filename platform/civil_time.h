// Proleptic Gregorian calendar arithmetic shared by the clock and the time
// zone. Pure functions, callable from any thread.
#ifndef HOLLOWMARCH_PLATFORM_CIVIL_TIME_H_
#define HOLLOWMARCH_PLATFORM_CIVIL_TIME_H_

#include <cstdint>

#include "platform/types.h"

namespace platform {

bool IsLeapYear(int64_t year);
// 28 to 31; 0 for a month outside 1..12.
int DaysInMonth(int64_t year, int month);
// Days since 1970-01-01 of a date (month 1..12, day 1..31); negative before.
int64_t DaysFromCivil(int64_t year, int month, int day);
void CivilFromDays(int64_t days, int64_t* year, int* month, int* day);
// 0 Sunday .. 6 Saturday.
int DayOfWeek(int64_t days);

// The SYSTEMTIME of a count of milliseconds since 1970 (UTC, years 1601 to
// 30827; the caller keeps to that range).
SYSTEMTIME SystemTimeFromUnixMs(int64_t unix_ms);

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_CIVIL_TIME_H_
