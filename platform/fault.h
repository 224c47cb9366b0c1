// The failure seam: lets a test make chosen platform calls fail, and set the
// uptime, the clock and the object store's free space, without a real fault.
// Only test binaries call this; the programs never expose it. Thread-safe.
#ifndef HOLLOWMARCH_PLATFORM_FAULT_H_
#define HOLLOWMARCH_PLATFORM_FAULT_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/types.h"

namespace platform::fault {

// Calls that can be made to fail. A failing call does nothing, returns its
// failure value and sets `error` as its last error (or returns it, for the
// registry and Winsock calls).
enum class Call {
  kCeCreateDatabase,
  kCeOpenDatabase,
  kCeDeleteDatabase,
  kCeFindFirstDatabase,
  kCeOidGetInfo,
  kCeSeekDatabase,
  kCeReadRecordProps,
  kCeWriteRecordProps,
  kCeDeleteRecord,
  kGetDiskFreeSpaceExW,
  kRegOpenKeyExW,
  kRegCreateKeyExW,
  kRegQueryValueExW,
  kRegSetValueExW,
  kLocalAlloc,
  kCreateThread,
  kWSAStartup,
  kSocket,
  kSetsockopt,
  kBind,
  kListen,
  kAccept,
  kRecv,
  kSend,
  kSendMessageW,
  kPostMessageW,
  kCeSetUserNotification,
  kGetTimeZoneInformation,
  // CeEndTransaction's commit: the transaction is rolled back instead.
  kCeEndTransaction,
  // CeBeginTransaction, as when the store stays busy past the wait.
  kCeBeginTransaction,
  kCount,
};

// The next `count` calls of `call`, after `skip` calls that succeed, fail
// with `error`. A count of -1 fails every later call until Clear.
void FailNext(Call call, DWORD error, int count = 1, int skip = 0);
// Removes every armed failure and every override below.
void Clear();

// Overrides. std::nullopt removes the override.
// GetTickCount's milliseconds (and so the device uptime).
void SetUptimeMs(std::optional<uint64_t> ms);
// The UTC clock, in seconds since 1970 (GetSystemTime).
void SetClock(std::optional<uint64_t> unix_seconds);
// Total free bytes of the object store that GetDiskFreeSpaceExW reports for
// the root (total and available stay consistent with it).
void SetStoreFreeBytes(std::optional<uint64_t> bytes);
// The most bytes one Winsock send moves (as a congested connection would
// accept); the caller must send the rest.
void SetSendLimit(std::optional<int> bytes);
// When set, Sleep returns at once and records the time it was asked for;
// TakeSleeps returns (and forgets) what was recorded. Clear unsets it.
void SetRecordSleeps(bool record);
std::vector<DWORD> TakeSleeps();

// For the platform's own use: true when the call is to fail now, with the
// error to report in *error.
bool ShouldFail(Call call, DWORD* error);
std::optional<uint64_t> UptimeOverride();
std::optional<uint64_t> ClockOverride();
std::optional<uint64_t> StoreFreeBytesOverride();
std::optional<int> SendLimitOverride();
// True when the sleep was recorded instead of slept.
bool RecordSleep(DWORD ms);

}  // namespace platform::fault

#endif  // HOLLOWMARCH_PLATFORM_FAULT_H_
