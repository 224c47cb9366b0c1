#include "platform/time_zone.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/civil_time.h"
#include "platform/device.h"
#include "platform/fault.h"
#include "platform/kernel.h"

namespace platform {
namespace {

constexpr char kZoneDir[] = "/usr/share/zoneinfo/";
constexpr int64_t kDay = 86400;
// Zone files are a few kilobytes; anything far larger is not one.
constexpr std::streamsize kMaxZoneFile = 1 << 20;

// When a rule string gives summer time but no dates, the host's library
// takes the United States' rules; so do we.
constexpr char kDefaultRules[] = ",M3.2.0,M11.1.0";

// One transition date of a rule string.
struct Transition {
  enum Kind { kMonthWeekDay, kJulianNoLeap, kDayOfYear } kind = kMonthWeekDay;
  int month = 0;  // kMonthWeekDay
  int week = 0;   // 1..5, 5 the last
  int weekday = 0;
  int day = 0;  // kJulianNoLeap 1..365, kDayOfYear 0..365
  int64_t seconds = 2 * 3600;  // local time of day; may lie outside one day
};

struct Rule {
  std::string standard_name;
  std::string daylight_name;
  int64_t standard_offset = 0;  // seconds west of UTC
  int64_t daylight_offset = 0;
  bool has_daylight = false;
  Transition start;  // into summer time, in standard time
  Transition end;    // back, in summer time
};

class RuleParser {
 public:
  explicit RuleParser(std::string_view text) : s_(text) {}

  bool Parse(Rule* rule) {
    if (!Name(&rule->standard_name) || !Offset(24, &rule->standard_offset)) return false;
    if (AtEnd()) return true;
    rule->has_daylight = true;
    if (!Name(&rule->daylight_name)) return false;
    rule->daylight_offset = rule->standard_offset - 3600;
    if (!AtEnd() && Peek() != ',' && !Offset(24, &rule->daylight_offset)) return false;
    if (AtEnd()) {
      RuleParser defaults(kDefaultRules);
      return defaults.Dates(rule);
    }
    return Dates(rule) && AtEnd();
  }

 private:
  bool AtEnd() const { return pos_ >= s_.size(); }
  char Peek() const { return AtEnd() ? '\0' : s_[pos_]; }
  bool Accept(char c) {
    if (Peek() != c) return false;
    ++pos_;
    return true;
  }

  bool Dates(Rule* rule) {
    return Accept(',') && Date(&rule->start) && Accept(',') && Date(&rule->end);
  }

  // "ABC" (three or more letters) or "<+0530>" (letters, digits and signs).
  bool Name(std::string* name) {
    name->clear();
    if (Accept('<')) {
      while (!AtEnd() && Peek() != '>') {
        char c = Peek();
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-') return false;
        name->push_back(c);
        ++pos_;
      }
      return Accept('>') && name->size() >= 1;
    }
    while (std::isalpha(static_cast<unsigned char>(Peek()))) name->push_back(s_[pos_++]);
    return name->size() >= 3;
  }

  bool Number(int max_digits, int* value) {
    int digits = 0;
    *value = 0;
    while (digits < max_digits && std::isdigit(static_cast<unsigned char>(Peek()))) {
      *value = *value * 10 + (s_[pos_++] - '0');
      ++digits;
    }
    return digits > 0;
  }

  // [+-]hh[:mm[:ss]], hours up to max_hours.
  bool Offset(int max_hours, int64_t* seconds) {
    int sign = 1;
    if (Accept('-')) {
      sign = -1;
    } else {
      Accept('+');
    }
    int hours;
    int minutes = 0;
    int secs = 0;
    if (!Number(3, &hours) || hours > max_hours) return false;
    if (Accept(':') && (!Number(2, &minutes) || minutes > 59)) return false;
    if (Accept(':') && (!Number(2, &secs) || secs > 59)) return false;
    *seconds = sign * (hours * 3600LL + minutes * 60LL + secs);
    return true;
  }

  bool Date(Transition* t) {
    if (Accept('M')) {
      t->kind = Transition::kMonthWeekDay;
      if (!Number(2, &t->month) || t->month < 1 || t->month > 12 || !Accept('.') ||
          !Number(1, &t->week) || t->week < 1 || t->week > 5 || !Accept('.') ||
          !Number(1, &t->weekday) || t->weekday > 6) {
        return false;
      }
    } else if (Accept('J')) {
      t->kind = Transition::kJulianNoLeap;
      if (!Number(3, &t->day) || t->day < 1 || t->day > 365) return false;
    } else {
      t->kind = Transition::kDayOfYear;
      if (!Number(3, &t->day) || t->day > 365) return false;
    }
    t->seconds = 2 * 3600;
    return !Accept('/') || Offset(167, &t->seconds);
  }

  std::string_view s_;
  size_t pos_ = 0;
};

// Days since 1970 of the `week`th `weekday` of a month, 5 meaning the last.
int64_t NthWeekdayOfMonth(int64_t year, int month, int week, int weekday) {
  const int64_t first = DaysFromCivil(year, month, 1);
  int day = 1 + (weekday - DayOfWeek(first) + 7) % 7 + 7 * (week - 1);
  while (day > DaysInMonth(year, month)) day -= 7;
  return first + day - 1;
}

// Local seconds since 1970 (wall clock) of a transition in a year.
int64_t LocalInstant(const Transition& t, int64_t year) {
  int64_t days = 0;
  switch (t.kind) {
    case Transition::kMonthWeekDay:
      days = NthWeekdayOfMonth(year, t.month, t.week, t.weekday);
      break;
    case Transition::kJulianNoLeap:
      // Day 60 is always March 1: February 29 is never counted.
      days = DaysFromCivil(year, 1, 1) + t.day - 1 + (IsLeapYear(year) && t.day >= 60 ? 1 : 0);
      break;
    case Transition::kDayOfYear:
      days = DaysFromCivil(year, 1, 1) + t.day;
      break;
  }
  return days * kDay + t.seconds;
}

SYSTEMTIME DeviceDate(const Transition& t, int64_t year) {
  SYSTEMTIME date{};
  if (t.kind == Transition::kMonthWeekDay && t.seconds >= 0 && t.seconds < kDay) {
    date.wMonth = static_cast<WORD>(t.month);
    date.wDay = static_cast<WORD>(t.week);
    date.wDayOfWeek = static_cast<WORD>(t.weekday);
    date.wHour = static_cast<WORD>(t.seconds / 3600);
    date.wMinute = static_cast<WORD>(t.seconds / 60 % 60);
    date.wSecond = static_cast<WORD>(t.seconds % 60);
    return date;
  }
  return SystemTimeFromUnixMs(LocalInstant(t, year) * 1000);
}

void CopyName(const std::string& name, WCHAR (&out)[32]) {
  std::memset(out, 0, sizeof(out));
  for (size_t i = 0; i < name.size() && i < 31; ++i) out[i] = static_cast<WCHAR>(name[i]);
}

// Local seconds since 1970 of a device transition date in a year.
int64_t LocalInstantOf(const SYSTEMTIME& date, int64_t year) {
  const int64_t time = date.wHour * 3600LL + date.wMinute * 60LL + date.wSecond;
  if (date.wYear != 0) return DaysFromCivil(date.wYear, date.wMonth, date.wDay) * kDay + time;
  return NthWeekdayOfMonth(year, date.wMonth, date.wDay, date.wDayOfWeek) * kDay + time;
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

int64_t LocalStandardYear(int64_t unix_seconds, LONG bias) {
  int64_t year;
  int month;
  int day;
  CivilFromDays(FloorDiv(unix_seconds - bias * 60LL, kDay), &year, &month, &day);
  return year;
}

// A zone name that stays inside the zone directory.
bool SafeZoneName(std::string_view name) {
  if (name.empty() || name[0] == '/' || name.find("..") != std::string_view::npos) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '/' && c != '_' && c != '-' &&
        c != '+' && c != '.') {
      return false;
    }
  }
  return true;
}

// The rule string of the device's zone; nullopt (with the last error set)
// when the zone cannot be read.
std::optional<std::string> DeviceZoneRule() {
  std::optional<std::string> rule;
  const std::string setting = GetDeviceSetting("timezone");
  if (!setting.empty()) {
    if (SafeZoneName(setting)) rule = ReadTzifRule(kZoneDir + setting);
  } else if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') {
    std::string_view value = tz;
    if (value[0] == ':') value.remove_prefix(1);
    if (!value.empty() && value[0] == '/') {
      rule = ReadTzifRule(std::string(value));
    } else if (SafeZoneName(value)) {
      rule = ReadTzifRule(kZoneDir + std::string(value));
    }
    // Not a zone file: $TZ may be a rule string itself.
    if (!rule && tz[0] != ':') rule = std::string(value);
  } else {
    rule = ReadTzifRule("/etc/localtime");
    if (!rule) rule = "UTC0";
  }
  if (!rule) SetLastError(ERROR_FILE_NOT_FOUND);
  return rule;
}

}  // namespace

bool TimeZoneFromPosixRule(std::string_view text, int year, TIME_ZONE_INFORMATION* info) {
  Rule rule;
  if (!RuleParser(text).Parse(&rule)) return false;
  TIME_ZONE_INFORMATION out;
  std::memset(&out, 0, sizeof(out));
  out.Bias = static_cast<LONG>(rule.standard_offset / 60);
  out.StandardBias = 0;
  CopyName(rule.standard_name, out.StandardName);
  if (rule.has_daylight) {
    CopyName(rule.daylight_name, out.DaylightName);
    out.DaylightBias = static_cast<LONG>((rule.daylight_offset - rule.standard_offset) / 60);
    out.DaylightDate = DeviceDate(rule.start, year);
    out.StandardDate = DeviceDate(rule.end, year);
  } else {
    CopyName(rule.standard_name, out.DaylightName);
  }
  *info = out;
  return true;
}

std::optional<std::string> ReadTzifRule(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string data;
  data.resize(static_cast<size_t>(kMaxZoneFile));
  file.read(data.data(), kMaxZoneFile);
  data.resize(static_cast<size_t>(file.gcount()));
  // Magic, then the version: '\0' for version 1, which has no rule string.
  if (data.size() < 6 || data.compare(0, 4, "TZif") != 0 || data[4] < '2') return std::nullopt;
  // The rule string stands between the last two newlines and holds none.
  if (data.back() != '\n') return std::nullopt;
  const size_t start = data.rfind('\n', data.size() - 2);
  if (start == std::string::npos) return std::nullopt;
  std::string rule = data.substr(start + 1, data.size() - start - 2);
  if (rule.empty()) return std::nullopt;
  for (char c : rule) {
    if (c < 0x20 || c > 0x7E) return std::nullopt;
  }
  return rule;
}

DWORD TimeZoneIdAt(const TIME_ZONE_INFORMATION& info, int64_t unix_seconds) {
  if (info.DaylightDate.wMonth == 0 || info.StandardDate.wMonth == 0) return TIME_ZONE_ID_UNKNOWN;
  const int64_t year = LocalStandardYear(unix_seconds, info.Bias);
  // Summer time starts at a standard-time clock reading and ends at a
  // summer-time one.
  const int64_t start = LocalInstantOf(info.DaylightDate, year) + (info.Bias + info.StandardBias) * 60LL;
  const int64_t end = LocalInstantOf(info.StandardDate, year) + (info.Bias + info.DaylightBias) * 60LL;
  bool daylight;
  if (start < end) {
    daylight = unix_seconds >= start && unix_seconds < end;  // northern
  } else {
    daylight = unix_seconds >= start || unix_seconds < end;  // southern
  }
  return daylight ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

}  // namespace platform

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* info) {
  DWORD error;
  if (platform::fault::ShouldFail(platform::fault::Call::kGetTimeZoneInformation, &error)) {
    SetLastError(error);
    return TIME_ZONE_ID_INVALID;
  }
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return TIME_ZONE_ID_INVALID;
  }
  const std::optional<std::string> rule = platform::DeviceZoneRule();
  if (!rule) return TIME_ZONE_ID_INVALID;

  int64_t now;
  if (auto clock = platform::fault::ClockOverride()) {
    now = static_cast<int64_t>(*clock);
  } else {
    now = std::chrono::duration_cast<std::chrono::seconds>(
              std::chrono::system_clock::now().time_since_epoch())
              .count();
  }
  // Dates of the current year stand for rules the yearly form cannot hold;
  // the year is the local one, known once the offset is.
  TIME_ZONE_INFORMATION zone;
  int year = static_cast<int>(platform::LocalStandardYear(now, 0));
  if (!platform::TimeZoneFromPosixRule(*rule, year, &zone)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return TIME_ZONE_ID_INVALID;
  }
  const int local_year = static_cast<int>(platform::LocalStandardYear(now, zone.Bias));
  if (local_year != year) platform::TimeZoneFromPosixRule(*rule, local_year, &zone);
  *info = zone;
  return platform::TimeZoneIdAt(zone, now);
}
