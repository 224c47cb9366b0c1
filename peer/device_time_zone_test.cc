#include "peer/device_time_zone.h"

#include <ctime>

#include "gtest/gtest.h"
#include "peer/frame.h"

namespace peer {
namespace {

void PutLe16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(Bytes& b, size_t at, int32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
}

void PutDate(Bytes& b, size_t at, const SystemTime& t) {
  const uint16_t fields[] = {t.year, t.month, t.dayOfWeek, t.day, t.hour, t.minute, t.second, t.milliseconds};
  for (int i = 0; i < 8; ++i) PutLe16(b, at + 2 * i, fields[i]);
}

// A TIME_ZONE_INFORMATION as the device sends it.
Bytes ZoneBytes(int32_t bias, SystemTime standardDate, SystemTime daylightDate, int32_t daylightBias,
                std::u16string_view standardName = u"STD") {
  Bytes b(kTimeZoneBytes, 0);
  PutLe32(b, 0, bias);
  for (size_t i = 0; i < standardName.size(); ++i) PutLe16(b, 4 + 2 * i, standardName[i]);
  PutDate(b, 68, standardDate);
  PutDate(b, 152, daylightDate);
  PutLe32(b, 168, daylightBias);
  return b;
}

// Yearly rule: the `week`th `weekday` of `month` at `hour`.
SystemTime Rule(uint16_t month, uint16_t week, uint16_t hour, uint16_t weekday = 0) {
  SystemTime t;
  t.month = month, t.day = week, t.dayOfWeek = weekday, t.hour = hour;
  return t;
}

int64_t Utc(const char* text) {
  std::tm tm{};
  strptime(text, "%Y-%m-%dT%H:%M:%S", &tm);
  return timegm(&tm);
}

std::string Text(const SystemTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return buf;
}

TEST(DeviceTimeZoneTest, LocalTimeFollowsTheZonesRulesEitherSideOfEachChange) {
  // America/New_York, Australia/Sydney and Europe/London as the device
  // describes them; the expected times are what the host's zone files say.
  const Bytes newYork = ZoneBytes(300, Rule(11, 1, 2), Rule(3, 2, 2), -60, u"Eastern Standard Time");
  const Bytes sydney = ZoneBytes(-600, Rule(4, 1, 3), Rule(10, 1, 2), -60);
  const Bytes london = ZoneBytes(0, Rule(10, 5, 2), Rule(3, 5, 1), -60);
  SystemTime fixedStart, fixedEnd;  // New York's 2030 changes as fixed dates
  fixedStart.year = 2030, fixedStart.month = 3, fixedStart.day = 10, fixedStart.hour = 2;
  fixedEnd.year = 2030, fixedEnd.month = 11, fixedEnd.day = 3, fixedEnd.hour = 2;
  const Bytes fixed = ZoneBytes(300, fixedEnd, fixedStart, -60);
  const Bytes tokyo = ZoneBytes(-540, SystemTime{}, SystemTime{}, 0);
  struct Case {
    const char* zone;
    const Bytes* bytes;
    const char* utc;
    const char* local;
  } cases[] = {
      {"New York, winter", &newYork, "2030-01-01T10:00:00", "2030-01-01T05:00:00"},
      {"New York, summer", &newYork, "2030-07-01T10:00:00", "2030-07-01T06:00:00"},
      {"New York, before the spring change", &newYork, "2030-03-10T06:59:59", "2030-03-10T01:59:59"},
      {"New York, at the spring change", &newYork, "2030-03-10T07:00:00", "2030-03-10T03:00:00"},
      {"New York, before the autumn change", &newYork, "2030-11-03T05:59:59", "2030-11-03T01:59:59"},
      {"New York, at the autumn change", &newYork, "2030-11-03T06:00:00", "2030-11-03T01:00:00"},
      {"New York, new year's eve in UTC", &newYork, "2031-01-01T03:00:00", "2030-12-31T22:00:00"},
      {"Sydney, summer", &sydney, "2030-01-01T10:00:00", "2030-01-01T21:00:00"},
      {"Sydney, winter", &sydney, "2030-07-01T10:00:00", "2030-07-01T20:00:00"},
      {"Sydney, before the autumn change", &sydney, "2030-04-06T15:59:59", "2030-04-07T02:59:59"},
      {"Sydney, at the autumn change", &sydney, "2030-04-06T16:00:00", "2030-04-07T02:00:00"},
      {"Sydney, before the spring change", &sydney, "2030-10-05T15:59:59", "2030-10-06T01:59:59"},
      {"Sydney, at the spring change", &sydney, "2030-10-05T16:00:00", "2030-10-06T03:00:00"},
      {"Sydney, new year in UTC", &sydney, "2030-12-31T23:00:00", "2031-01-01T10:00:00"},
      {"London, last Sunday of March", &london, "2030-03-31T01:00:00", "2030-03-31T02:00:00"},
      {"London, just before", &london, "2030-03-31T00:59:59", "2030-03-31T00:59:59"},
      {"London, last Sunday of October", &london, "2030-10-27T01:00:00", "2030-10-27T01:00:00"},
      {"London, just before it", &london, "2030-10-27T00:59:59", "2030-10-27T01:59:59"},
      {"fixed dates, in their year", &fixed, "2030-03-10T07:00:00", "2030-03-10T03:00:00"},
      {"fixed dates, in their year, before", &fixed, "2030-03-10T06:59:59", "2030-03-10T01:59:59"},
      {"fixed dates, another year's summer", &fixed, "2031-07-01T10:00:00", "2031-07-01T06:00:00"},
      {"no daylight time", &tokyo, "2030-07-01T10:00:00", "2030-07-01T19:00:00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zone);
    TimeZone zone;
    std::string error;
    ASSERT_TRUE(DecodeTimeZone(*c.bytes, &zone, &error)) << error;
    EXPECT_EQ(Text(LocalTime(zone, Utc(c.utc))), c.local);
  }
}

TEST(DeviceTimeZoneTest, DecodesTheDevicesLayout) {
  const Bytes bytes = ZoneBytes(300, Rule(11, 1, 2), Rule(3, 2, 2), -60, u"Eastern Standard Time");
  TimeZone zone;
  std::string error;
  ASSERT_TRUE(DecodeTimeZone(bytes, &zone, &error)) << error;
  EXPECT_EQ(zone.bias, 300);
  EXPECT_EQ(zone.standardName, u"Eastern Standard Time");
  EXPECT_EQ(zone.standardDate, Rule(11, 1, 2));
  EXPECT_EQ(zone.daylightDate, Rule(3, 2, 2));
  EXPECT_EQ(zone.daylightBias, -60);
  EXPECT_TRUE(zone.hasDaylightTime());
  // The day of the week comes with the fields.
  EXPECT_EQ(CivilTime(Utc("2030-01-01T05:00:00")).dayOfWeek, 2);  // a Tuesday

  struct Case {
    const char* name;
    Bytes bytes;
  } bad[] = {
      {"short", Bytes(171, 0)},
      {"month 13", ZoneBytes(0, Rule(13, 1, 2), Rule(3, 2, 2), -60)},
      {"week 6", ZoneBytes(0, Rule(11, 6, 2), Rule(3, 2, 2), -60)},
      {"weekday 7", ZoneBytes(0, Rule(11, 1, 2, 7), Rule(3, 2, 2), -60)},
      {"hour 24", ZoneBytes(0, Rule(11, 1, 24), Rule(3, 2, 2), -60)},
      {"a day west", ZoneBytes(1440, Rule(11, 1, 2), Rule(3, 2, 2), -60)},
      {"a daylight bias past a day", ZoneBytes(-600, Rule(11, 1, 2), Rule(3, 2, 2), -1000)},
      {"a bias that would overflow", ZoneBytes(0x7FFFFFFF, Rule(11, 1, 2), Rule(3, 2, 2), 0x7FFFFFFF)},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(DecodeTimeZone(c.bytes, &zone, &error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace peer
