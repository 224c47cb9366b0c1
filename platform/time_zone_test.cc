#include "platform/time_zone.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/device.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "tests/support/temp_device.h"

namespace {

namespace fault = platform::fault;

// Seconds since 1970 of a UTC date and time.
int64_t Utc(int year, int month, int day, int hour, int minute = 0, int second = 0) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<int64_t>(timegm(&t));
}

std::string Name(const WCHAR (&name)[32]) {
  std::string out;
  for (WCHAR c : name) {
    if (c == 0) break;
    out.push_back(static_cast<char>(c));
  }
  return out;
}

struct YearlyDate {
  WORD month, week, weekday, hour;
};

void ExpectYearly(const SYSTEMTIME& date, YearlyDate want, const std::string& what) {
  EXPECT_EQ(date.wYear, 0) << what;
  EXPECT_EQ(date.wMonth, want.month) << what;
  EXPECT_EQ(date.wDay, want.week) << what;
  EXPECT_EQ(date.wDayOfWeek, want.weekday) << what;
  EXPECT_EQ(date.wHour, want.hour) << what;
  EXPECT_EQ(date.wMinute, 0) << what;
}

// The rules of the four kinds of zone the device must describe, as the zone
// files end them.
TEST(TimeZoneRuleTest, DescribesEachKindOfZone) {
  struct Case {
    const char* name;
    const char* rule;
    LONG bias;
    const char* standard_name;
    const char* daylight_name;
    LONG daylight_bias;
    YearlyDate standard_date;  // month 0: no summer time
    YearlyDate daylight_date;
  } cases[] = {
      {"utc", "UTC0", 0, "UTC", "UTC", 0, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {"northern with summer time", "CET-1CEST,M3.5.0,M10.5.0/3", -60, "CET", "CEST", -60,
       {10, 5, 0, 3}, {3, 5, 0, 2}},
      {"southern with summer time", "AEST-10AEDT,M10.1.0,M4.1.0/3", -600, "AEST", "AEDT", -60,
       {4, 1, 0, 3}, {10, 1, 0, 2}},
      {"half hour, no summer time", "IST-5:30", -330, "IST", "IST", 0, {0, 0, 0, 0},
       {0, 0, 0, 0}},
      {"west of UTC, quoted names", "<-03>3<-02>,M3.2.0,M11.1.0", 180, "-03", "-02", -60,
       {11, 1, 0, 2}, {3, 2, 0, 2}},
      {"summer time without dates", "EST5EDT", 300, "EST", "EDT", -60, {11, 1, 0, 2},
       {3, 2, 0, 2}},
      {"quarter hour", "<+0545>-5:45", -345, "+0545", "+0545", 0, {0, 0, 0, 0}, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    TIME_ZONE_INFORMATION info;
    ASSERT_TRUE(platform::TimeZoneFromPosixRule(c.rule, 2024, &info)) << "case " << c.name;
    EXPECT_EQ(info.Bias, c.bias) << "case " << c.name;
    EXPECT_EQ(info.StandardBias, 0) << "case " << c.name;
    EXPECT_EQ(info.DaylightBias, c.daylight_bias) << "case " << c.name;
    EXPECT_EQ(Name(info.StandardName), c.standard_name) << "case " << c.name;
    EXPECT_EQ(Name(info.DaylightName), c.daylight_name) << "case " << c.name;
    ExpectYearly(info.StandardDate, c.standard_date, std::string("case ") + c.name + " end");
    ExpectYearly(info.DaylightDate, c.daylight_date, std::string("case ") + c.name + " start");
  }
}

TEST(TimeZoneRuleTest, RejectsMalformedRules) {
  const char* rules[] = {
      "",         "CET",        "UT0",        "CET-1CEST,M3.5.0",          "CET-1CEST,M13.5.0,M10.5.0",
      "CET-25",   "CET-1CEST,M3.6.0,M10.5.0", "CET-1CEST,M3.5.7,M10.5.0", "CET-1CEST,J0,J365",
      "<>0",      "CET-1:60",   "CET-1CEST,M3.5.0,M10.5.0/3x",
  };
  for (const char* rule : rules) {
    TIME_ZONE_INFORMATION info;
    info.Bias = 12345;
    EXPECT_FALSE(platform::TimeZoneFromPosixRule(rule, 2024, &info)) << "rule \"" << rule << "\"";
    EXPECT_EQ(info.Bias, 12345) << "rule \"" << rule << "\"";
  }
}

TEST(TimeZoneRuleTest, TellsSummerTimeFromStandardTimeAtTheTransitions) {
  struct Case {
    const char* name;
    const char* rule;
    int64_t when;
    DWORD id;
  } cases[] = {
      {"utc", "UTC0", Utc(2024, 7, 1, 12), TIME_ZONE_ID_UNKNOWN},
      {"india", "IST-5:30", Utc(2024, 7, 1, 12), TIME_ZONE_ID_UNKNOWN},
      // Berlin 2024: summer time from 31 March 01:00 UTC to 27 October 01:00 UTC.
      {"berlin winter", "CET-1CEST,M3.5.0,M10.5.0/3", Utc(2024, 1, 15, 12), TIME_ZONE_ID_STANDARD},
      {"berlin before start", "CET-1CEST,M3.5.0,M10.5.0/3", Utc(2024, 3, 31, 0, 59, 59),
       TIME_ZONE_ID_STANDARD},
      {"berlin at start", "CET-1CEST,M3.5.0,M10.5.0/3", Utc(2024, 3, 31, 1), TIME_ZONE_ID_DAYLIGHT},
      {"berlin before end", "CET-1CEST,M3.5.0,M10.5.0/3", Utc(2024, 10, 27, 0, 59, 59),
       TIME_ZONE_ID_DAYLIGHT},
      {"berlin at end", "CET-1CEST,M3.5.0,M10.5.0/3", Utc(2024, 10, 27, 1), TIME_ZONE_ID_STANDARD},
      // Sydney: summer time over the new year; 2024 ends it 7 April 16:00 UTC
      // and starts it 5 October 16:00 UTC.
      {"sydney january", "AEST-10AEDT,M10.1.0,M4.1.0/3", Utc(2024, 1, 15, 12), TIME_ZONE_ID_DAYLIGHT},
      {"sydney new year", "AEST-10AEDT,M10.1.0,M4.1.0/3", Utc(2023, 12, 31, 14), TIME_ZONE_ID_DAYLIGHT},
      {"sydney before end", "AEST-10AEDT,M10.1.0,M4.1.0/3", Utc(2024, 4, 6, 15, 59, 59),
       TIME_ZONE_ID_DAYLIGHT},
      {"sydney at end", "AEST-10AEDT,M10.1.0,M4.1.0/3", Utc(2024, 4, 6, 16), TIME_ZONE_ID_STANDARD},
      {"sydney july", "AEST-10AEDT,M10.1.0,M4.1.0/3", Utc(2024, 7, 1, 12), TIME_ZONE_ID_STANDARD},
      {"sydney at start", "AEST-10AEDT,M10.1.0,M4.1.0/3", Utc(2024, 10, 5, 16), TIME_ZONE_ID_DAYLIGHT},
      // Chile changes at 24:00 on a Saturday, which the yearly form cannot
      // hold: 2024 starts summer time on 8 September 04:00 UTC.
      {"chile before start", "<-04>4<-03>,M9.1.6/24,M4.1.6/24", Utc(2024, 9, 8, 3, 59, 59),
       TIME_ZONE_ID_STANDARD},
      {"chile at start", "<-04>4<-03>,M9.1.6/24,M4.1.6/24", Utc(2024, 9, 8, 4),
       TIME_ZONE_ID_DAYLIGHT},
  };
  for (const Case& c : cases) {
    TIME_ZONE_INFORMATION info;
    ASSERT_TRUE(platform::TimeZoneFromPosixRule(c.rule, 2024, &info)) << "case " << c.name;
    EXPECT_EQ(platform::TimeZoneIdAt(info, c.when), c.id) << "case " << c.name;
  }
}

TEST(TimeZoneRuleTest, GivesTheYearsDateForRulesTheYearlyFormCannotHold) {
  TIME_ZONE_INFORMATION info;
  // First Saturday of September 2024 is the 7th; 24:00 is the 8th, 00:00.
  ASSERT_TRUE(platform::TimeZoneFromPosixRule("<-04>4<-03>,M9.1.6/24,M4.1.6/24", 2024, &info));
  EXPECT_EQ(info.DaylightDate.wYear, 2024);
  EXPECT_EQ(info.DaylightDate.wMonth, 9);
  EXPECT_EQ(info.DaylightDate.wDay, 8);
  EXPECT_EQ(info.DaylightDate.wHour, 0);
  // Day 60 without leap days is 1 March, also in a leap year.
  ASSERT_TRUE(platform::TimeZoneFromPosixRule("XST-3XDT,J60,J300", 2024, &info));
  EXPECT_EQ(info.DaylightDate.wYear, 2024);
  EXPECT_EQ(info.DaylightDate.wMonth, 3);
  EXPECT_EQ(info.DaylightDate.wDay, 1);
  EXPECT_EQ(info.DaylightDate.wHour, 2);
}

TEST(TimeZoneStructureTest, HasTheDevicesLayout) {
  EXPECT_EQ(sizeof(TIME_ZONE_INFORMATION), 172u);
  EXPECT_EQ(offsetof(TIME_ZONE_INFORMATION, StandardName), 4u);
  EXPECT_EQ(offsetof(TIME_ZONE_INFORMATION, StandardDate), 68u);
  EXPECT_EQ(offsetof(TIME_ZONE_INFORMATION, StandardBias), 84u);
  EXPECT_EQ(offsetof(TIME_ZONE_INFORMATION, DaylightName), 88u);
  EXPECT_EQ(offsetof(TIME_ZONE_INFORMATION, DaylightDate), 152u);
  EXPECT_EQ(offsetof(TIME_ZONE_INFORMATION, DaylightBias), 168u);
}

bool HostHasZone(const std::string& name) {
  return platform::ReadTzifRule("/usr/share/zoneinfo/" + name).has_value();
}

// The whole call, with the zone taken from the device setting.
TEST(GetTimeZoneInformationTest, AnswersForTheDevicesZone) {
  for (const char* zone : {"UTC", "Europe/Berlin", "Australia/Sydney", "Asia/Kolkata"}) {
    if (!HostHasZone(zone)) GTEST_SKIP() << "the host has no zone file for " << zone;
  }
  hmtest::TempDevice device;
  struct Case {
    const char* zone;
    int64_t when;
    DWORD id;
    LONG bias;
    const char* standard_name;
  } cases[] = {
      {"UTC", Utc(2024, 7, 1, 12), TIME_ZONE_ID_UNKNOWN, 0, "UTC"},
      {"Europe/Berlin", Utc(2024, 7, 1, 12), TIME_ZONE_ID_DAYLIGHT, -60, "CET"},
      {"Europe/Berlin", Utc(2024, 12, 1, 12), TIME_ZONE_ID_STANDARD, -60, "CET"},
      {"Australia/Sydney", Utc(2024, 7, 1, 12), TIME_ZONE_ID_STANDARD, -600, "AEST"},
      {"Australia/Sydney", Utc(2024, 12, 1, 12), TIME_ZONE_ID_DAYLIGHT, -600, "AEST"},
      {"Asia/Kolkata", Utc(2024, 7, 1, 12), TIME_ZONE_ID_UNKNOWN, -330, "IST"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(platform::SetDeviceSetting("timezone", c.zone).ok()) << c.zone;
    fault::SetClock(static_cast<uint64_t>(c.when));
    TIME_ZONE_INFORMATION info{};
    EXPECT_EQ(GetTimeZoneInformation(&info), c.id) << "case " << c.zone << " at " << c.when;
    EXPECT_EQ(info.Bias, c.bias) << "case " << c.zone;
    EXPECT_EQ(Name(info.StandardName), c.standard_name) << "case " << c.zone;
  }
  fault::Clear();
}

// Without a device setting the host's zone counts: $TZ first.
TEST(GetTimeZoneInformationTest, FallsBackToTheHostsZone) {
  hmtest::TempDevice device;
  const char* saved = std::getenv("TZ");
  const std::string saved_tz = saved != nullptr ? saved : "";
  fault::SetClock(static_cast<uint64_t>(Utc(2024, 7, 1, 12)));
  struct Case {
    const char* tz;
    const char* zone_file;  // the host zone file it needs, if any
    DWORD id;
    LONG bias;
  } cases[] = {
      {"IST-5:30", nullptr, TIME_ZONE_ID_UNKNOWN, -330},
      {"CET-1CEST,M3.5.0,M10.5.0/3", nullptr, TIME_ZONE_ID_DAYLIGHT, -60},
      {"Asia/Kolkata", "Asia/Kolkata", TIME_ZONE_ID_UNKNOWN, -330},
      {":Europe/Berlin", "Europe/Berlin", TIME_ZONE_ID_DAYLIGHT, -60},
  };
  for (const Case& c : cases) {
    if (c.zone_file != nullptr && !HostHasZone(c.zone_file)) continue;
    setenv("TZ", c.tz, 1);
    TIME_ZONE_INFORMATION info{};
    EXPECT_EQ(GetTimeZoneInformation(&info), c.id) << "case " << c.tz;
    EXPECT_EQ(info.Bias, c.bias) << "case " << c.tz;
  }
  setenv("TZ", "Not/AZone", 1);
  TIME_ZONE_INFORMATION info{};
  EXPECT_EQ(GetTimeZoneInformation(&info), TIME_ZONE_ID_INVALID);
  if (saved != nullptr) {
    setenv("TZ", saved_tz.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  fault::Clear();
}

TEST(GetTimeZoneInformationTest, FailsThroughTheSeamAndOnNull) {
  hmtest::TempDevice device;
  fault::FailNext(fault::Call::kGetTimeZoneInformation, ERROR_NOT_SUPPORTED);
  TIME_ZONE_INFORMATION info{};
  info.Bias = 77;
  EXPECT_EQ(GetTimeZoneInformation(&info), TIME_ZONE_ID_INVALID);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(info.Bias, 77);
  EXPECT_EQ(GetTimeZoneInformation(nullptr), TIME_ZONE_ID_INVALID);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(TzifTest, ReadsTheRuleStringAndRefusesOtherFiles) {
  hmtest::TempDir dir;
  struct Case {
    const char* name;
    std::string content;
    std::optional<std::string> rule;
  } cases[] = {
      {"version 2", std::string("TZif2") + std::string(40, '\0') + "\nCET-1CEST,M3.5.0,M10.5.0/3\n",
       "CET-1CEST,M3.5.0,M10.5.0/3"},
      {"newline in the binary part", std::string("TZif3\n\n") + "\n<+0530>-5:30\n", "<+0530>-5:30"},
      {"version 1", std::string("TZif") + std::string(40, '\0') + "\nUTC0\n", std::nullopt},
      {"empty rule", std::string("TZif2") + std::string(40, '\0') + "\n\n", std::nullopt},
      {"no final newline", std::string("TZif2") + "\nUTC0", std::nullopt},
      {"not a zone file", "hello\nUTC0\n", std::nullopt},
      {"empty file", "", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string path = dir.path() + "/zone";
    std::ofstream(path, std::ios::binary) << c.content;
    EXPECT_EQ(platform::ReadTzifRule(path), c.rule) << "case " << c.name;
  }
  EXPECT_EQ(platform::ReadTzifRule(dir.path() + "/missing"), std::nullopt);
}

}  // namespace
