#include "platform/system_info.h"

#include <gtest/gtest.h>

#include <ctime>

#include "platform/device.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "tests/support/temp_device.h"

namespace {

namespace fault = platform::fault;

SYSTEMTIME Date(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0,
                WORD second = 0, WORD ms = 0) {
  SYSTEMTIME t{};
  t.wYear = year;
  t.wMonth = month;
  t.wDay = day;
  t.wHour = hour;
  t.wMinute = minute;
  t.wSecond = second;
  t.wMilliseconds = ms;
  return t;
}

uint64_t Ticks(const FILETIME& f) {
  return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

TEST(SystemTimeTest, ConvertsDatesToFileTimesAndBack) {
  struct Case {
    const char* name;
    SYSTEMTIME time;
    uint64_t ticks;
    WORD day_of_week;
  } cases[] = {
      {"start of the count", Date(1601, 1, 1), 0, 1},
      {"1970", Date(1970, 1, 1), 116444736000000000ull, 4},
      {"leap day 2000", Date(2000, 2, 29, 23, 59, 59, 999), 125963423999990000ull, 2},
      {"after 2038", Date(2040, 6, 1, 12), 138666384000000000ull, 5},
  };
  for (const Case& c : cases) {
    FILETIME f;
    ASSERT_TRUE(SystemTimeToFileTime(&c.time, &f)) << "case " << c.name;
    EXPECT_EQ(Ticks(f), c.ticks) << "case " << c.name;
    SYSTEMTIME back;
    ASSERT_TRUE(FileTimeToSystemTime(&f, &back)) << "case " << c.name;
    EXPECT_EQ(back.wYear, c.time.wYear) << "case " << c.name;
    EXPECT_EQ(back.wMonth, c.time.wMonth) << "case " << c.name;
    EXPECT_EQ(back.wDay, c.time.wDay) << "case " << c.name;
    EXPECT_EQ(back.wHour, c.time.wHour) << "case " << c.name;
    EXPECT_EQ(back.wMilliseconds, c.time.wMilliseconds) << "case " << c.name;
    EXPECT_EQ(back.wDayOfWeek, c.day_of_week) << "case " << c.name;
  }
}

TEST(SystemTimeTest, RejectsDatesThatDoNotExist) {
  struct Case {
    const char* name;
    SYSTEMTIME time;
  } cases[] = {
      {"before 1601", Date(1600, 12, 31)},
      {"1900 is no leap year", Date(1900, 2, 29)},
      {"month 13", Date(2020, 13, 1)},
      {"month 0", Date(2020, 0, 1)},
      {"day 0", Date(2020, 1, 0)},
      {"April 31", Date(2020, 4, 31)},
      {"hour 24", Date(2020, 1, 1, 24)},
      {"second 60", Date(2020, 1, 1, 0, 0, 60)},
      {"ms 1000", Date(2020, 1, 1, 0, 0, 0, 1000)},
  };
  for (const Case& c : cases) {
    FILETIME f{};
    SetLastError(0);
    EXPECT_FALSE(SystemTimeToFileTime(&c.time, &f)) << "case " << c.name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "case " << c.name;
  }
  FILETIME top_bit{0, 0x80000000u};
  SYSTEMTIME t;
  EXPECT_FALSE(FileTimeToSystemTime(&top_bit, &t));
}

TEST(SystemTimeTest, FollowsTheClockOverride) {
  fault::SetClock(1700000000);  // 2023-11-14 22:13:20 UTC, a Tuesday
  SYSTEMTIME t;
  GetSystemTime(&t);
  fault::Clear();
  EXPECT_EQ(t.wYear, 2023);
  EXPECT_EQ(t.wMonth, 11);
  EXPECT_EQ(t.wDay, 14);
  EXPECT_EQ(t.wDayOfWeek, 2);
  EXPECT_EQ(t.wHour, 22);
  EXPECT_EQ(t.wMinute, 13);
  EXPECT_EQ(t.wSecond, 20);
  EXPECT_EQ(t.wMilliseconds, 0);

  // Seconds since 1970, the way the system stamps its changes.
  FILETIME now;
  FILETIME epoch;
  SYSTEMTIME start = Date(1970, 1, 1);
  ASSERT_TRUE(SystemTimeToFileTime(&t, &now));
  ASSERT_TRUE(SystemTimeToFileTime(&start, &epoch));
  EXPECT_EQ(Ticks(now) / 10000000 - Ticks(epoch) / 10000000, 1700000000u);
}

// The device setting clock-offset moves the device's clock either way, as
// a user setting the handheld's time does.
TEST(SystemTimeTest, FollowsTheClockOffsetSetting) {
  hmtest::TempDevice device;
  fault::SetClock(1700000000);
  auto seconds = [] {
    SYSTEMTIME t;
    GetSystemTime(&t);
    return t.wHour * 3600 + t.wMinute * 60 + t.wSecond;
  };
  const int base = seconds();
  for (int offset : {-3600, 90, 0}) {
    SCOPED_TRACE(offset);
    ASSERT_TRUE(platform::SetDeviceSetting("clock-offset", std::to_string(offset)).ok());
    EXPECT_EQ(seconds(), base + offset);
  }
  fault::Clear();
}

TEST(SystemTimeTest, FollowsTheHostClockWithoutOverride) {
  fault::Clear();
  SYSTEMTIME t;
  GetSystemTime(&t);
  FILETIME f;
  ASSERT_TRUE(SystemTimeToFileTime(&t, &f));
  const uint64_t unix_seconds = Ticks(f) / 10000000 - 11644473600ull;
  const uint64_t host = static_cast<uint64_t>(::time(nullptr));
  EXPECT_LE(unix_seconds, host);
  EXPECT_GE(unix_seconds + 5, host);
}

TEST(TickCountTest, WrapsAtThirtyTwoBitsAsOnTheDevice) {
  struct Case {
    const char* name;
    uint64_t uptime_ms;
    DWORD ticks;
  } cases[] = {
      {"just started", 1500, 1500},
      {"last tick before the wrap", 0xFFFFFFFFull, 0xFFFFFFFFu},
      {"after 49.7 days", 0x100000005ull, 5},
  };
  for (const Case& c : cases) {
    fault::SetUptimeMs(c.uptime_ms);
    EXPECT_EQ(GetTickCount(), c.ticks) << "case " << c.name;
  }
  fault::Clear();
}

TEST(VersionTest, ReportsTheDeviceSetting) {
  hmtest::TempDevice device;
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_TRUE(GetVersionExW(&info));
  EXPECT_EQ(info.dwMajorVersion, 3u);
  EXPECT_EQ(info.dwMinorVersion, 0u);
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_CE);

  ASSERT_TRUE(platform::SetDeviceSetting("os-version", "1.2").ok());
  ASSERT_TRUE(GetVersionExW(&info));
  EXPECT_EQ(info.dwMajorVersion, 1u);
  EXPECT_EQ(info.dwMinorVersion, 2u);

  info.dwOSVersionInfoSize = 100;
  EXPECT_FALSE(GetVersionExW(&info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
