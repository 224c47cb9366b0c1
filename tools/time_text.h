// How the tools show a device time (seconds since 1970, UTC) to a person.
#ifndef HOLLOWMARCH_TOOLS_TIME_TEXT_H_
#define HOLLOWMARCH_TOOLS_TIME_TEXT_H_

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace tools {

// "2026-12-11T13:17:07Z".
inline std::string IsoTime(uint32_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[96];  // room for any int the fields could hold
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

// A change's type as a word: "add", "delete", "modify", or "unknown".
inline const char* ChangeTypeWord(uint32_t type) {
  return type == 0 ? "add" : type == 1 ? "delete" : type == 3 ? "modify" : "unknown";
}

}  // namespace tools

#endif  // HOLLOWMARCH_TOOLS_TIME_TEXT_H_
