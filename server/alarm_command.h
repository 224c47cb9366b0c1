// The alarm command's request: the notification to set or clear for the
// calendar application (or the application the peer names).
//
// Item (from the sub-code on; numbers big-endian):
//   0  1  sub-code 9
//   1  4  notification handle: 0 for a new one, or one an earlier alarm
//         command returned
//   5  1  non-zero: set the notification; 0: clear it
//   6  1  action flags (CE_USER_NOTIFICATION::ActionFlags)
//   7  16 the SYSTEMTIME fields, 16 bits each, in their order
//   23 8  byte lengths of the application name, dialog title, dialog text
//         and sound name, 16 bits each
//   31 .. each non-empty string in the device's ANSI code page followed by
//         one NUL; an empty one takes no bytes
// A string is taken up to its NUL and never beyond its length; one whose
// length runs past the item is cut at the item's end.
//
// Threads: any; the platform calls of Apply are the device's own.
#ifndef HOLLOWMARCH_SERVER_ALARM_COMMAND_H_
#define HOLLOWMARCH_SERVER_ALARM_COMMAND_H_

#include "platform/types.h"
#include "platform/user_notification.h"

// Bytes an alarm item needs before its strings.
constexpr DWORD kAlarmItemBytes = 31;

// Converts the `cbSource` bytes at `source` (up to the first NUL among them)
// from the device's ANSI code page into `dest`, which holds `cchDest` wide
// characters and is zero-filled beforehand; at most cchDest - 1 characters
// are written, so the result stays NUL-terminated.
void AnsiToWide(LPWSTR dest, int cchDest, const BYTE* source, DWORD cbSource);

class AlarmRequest {
 public:
  enum class ReadResult {
    kOk,
    kTooShort,  // the item ends before its strings start
    kNoMemory,  // a string buffer could not be allocated
  };

  AlarmRequest() = default;
  // Frees the string buffers.
  ~AlarmRequest();
  AlarmRequest(const AlarmRequest&) = delete;
  AlarmRequest& operator=(const AlarmRequest&) = delete;

  // Reads the `cbItem` bytes of the item at `item`; call once. Each string
  // gets a zero-filled buffer of its length + 1 wide characters (LocalAlloc).
  ReadResult Read(const BYTE* item, DWORD cbItem);

  HANDLE handle() const { return handle_; }
  bool set() const { return set_; }
  const SYSTEMTIME& time() const { return time_; }
  // The strings as sent, or the defaults "CALENDAR.EXE", "Alarm Reminder",
  // "Alarm Message" and "Alarm1.wav" where the peer sent none.
  LPCWSTR application() const;
  const CE_USER_NOTIFICATION& notification() const { return notification_; }

  // Sets the notification (the platform's handle, 0 on failure) or clears
  // the one of handle() (0).
  HANDLE Apply() const;

 private:
  HANDLE handle_ = 0;
  bool set_ = false;
  SYSTEMTIME time_{};
  LPWSTR strings_[4] = {};  // owned; null when empty
  CE_USER_NOTIFICATION notification_{};
  WCHAR defaultTitle_[15] = u"Alarm Reminder";
  WCHAR defaultText_[14] = u"Alarm Message";
  WCHAR defaultSound_[11] = u"Alarm1.wav";
};

#endif  // HOLLOWMARCH_SERVER_ALARM_COMMAND_H_
