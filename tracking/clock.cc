#include "tracking/clock.h"

#include "platform/kernel.h"
#include "platform/system_info.h"

namespace {

constexpr ULONGLONG kFileTimeUnitsPerSecond = 10000000ULL;

ULONGLONG FileTimeSeconds(const SYSTEMTIME& time) {
  FILETIME file_time = {0, 0};
  SystemTimeToFileTime(&time, &file_time);
  ULARGE_INTEGER value;
  value.u.LowPart = file_time.dwLowDateTime;
  value.u.HighPart = file_time.dwHighDateTime;
  return value.QuadPart / kFileTimeUnitsPerSecond;
}

}  // namespace

DWORD CurrentTime() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  SYSTEMTIME epoch = {};
  epoch.wYear = 1970;
  epoch.wMonth = 1;
  epoch.wDay = 1;
  return static_cast<DWORD>(FileTimeSeconds(now) - FileTimeSeconds(epoch));
}

bool BootedRecently() { return GetTickCount() / 1000 < 30; }
