#include "server/alarm_command.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"
#include "platform/kernel.h"
#include "server/protocol.h"

void AnsiToWide(LPWSTR dest, int cchDest, const BYTE* source, DWORD cbSource) {
  if (cchDest < 2 || cbSource == 0) return;
  const void* nul = std::memchr(source, 0, cbSource);
  int cb = nul != nullptr ? static_cast<int>(static_cast<const BYTE*>(nul) - source)
                          : static_cast<int>(cbSource);
  if (cb == 0) return;
  const char* narrow = reinterpret_cast<const char*>(source);
  int needed = MultiByteToWideChar(CP_ACP, 0, narrow, cb, nullptr, 0);
  if (needed <= 0) return;
  // The last unit of dest is never written: it stays the terminating NUL.
  MultiByteToWideChar(CP_ACP, 0, narrow, cb, dest, std::min(needed, cchDest - 1));
}

AlarmRequest::~AlarmRequest() {
  for (LPWSTR s : strings_) {
    if (s != nullptr) LocalFree(s);
  }
}

AlarmRequest::ReadResult AlarmRequest::Read(const BYTE* item, DWORD cbItem) {
  if (cbItem < kAlarmItemBytes) return ReadResult::kTooShort;
  handle_ = GetBe32(item + 1);
  set_ = item[5] != 0;
  const BYTE* t = item + 7;
  time_ = SYSTEMTIME{GetBe16(t),     GetBe16(t + 2),  GetBe16(t + 4),  GetBe16(t + 6),
                     GetBe16(t + 8), GetBe16(t + 10), GetBe16(t + 12), GetBe16(t + 14)};

  DWORD at = kAlarmItemBytes;
  for (int i = 0; i < 4; ++i) {
    DWORD length = GetBe16(item + 23 + 2 * i);
    if (length == 0) continue;
    strings_[i] = static_cast<LPWSTR>(
        LocalAlloc(LMEM_ZEROINIT, (size_t{length} + 1) * sizeof(WCHAR)));
    if (strings_[i] == nullptr) return ReadResult::kNoMemory;
    DWORD available = at < cbItem ? std::min(length, cbItem - at) : 0;
    AnsiToWide(strings_[i], static_cast<int>(length) + 1, item + at, available);
    at = std::min(at + length + 1, cbItem);  // the string and its NUL
  }

  notification_.ActionFlags = item[6];
  notification_.pwszDialogTitle = strings_[1] != nullptr ? strings_[1] : defaultTitle_;
  notification_.pwszDialogText = strings_[2] != nullptr ? strings_[2] : defaultText_;
  notification_.pwszSound = strings_[3] != nullptr ? strings_[3] : defaultSound_;
  notification_.nMaxSound = 0;
  notification_.dwReserved = 0;
  return ReadResult::kOk;
}

LPCWSTR AlarmRequest::application() const {
  return strings_[0] != nullptr ? strings_[0] : u"CALENDAR.EXE";
}

HANDLE AlarmRequest::Apply() const {
  if (set_) return CeSetUserNotification(handle_, application(), &time_, &notification_);
  CeClearUserNotification(handle_);
  return 0;
}
