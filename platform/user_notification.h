// User notifications (alarms) kept with the device: they outlive the process
// that set them. They live in the device's store, so every process of the
// device sees each change at once; handles are device-wide, never 0 and never
// reused. Any thread may call these; the device must be open.
#ifndef HOLLOWMARCH_PLATFORM_USER_NOTIFICATION_H_
#define HOLLOWMARCH_PLATFORM_USER_NOTIFICATION_H_

#include <string>
#include <vector>

#include "platform/status.h"
#include "platform/types.h"

constexpr DWORD PUN_LED = 1;
constexpr DWORD PUN_VIBRATE = 2;
constexpr DWORD PUN_DIALOG = 4;
constexpr DWORD PUN_SOUND = 8;
constexpr DWORD PUN_REPEAT = 16;

struct CE_USER_NOTIFICATION {
  DWORD ActionFlags;
  LPWSTR pwszDialogTitle;
  LPWSTR pwszDialogText;
  LPWSTR pwszSound;
  DWORD nMaxSound;
  DWORD dwReserved;
};

// Sets a notification for `application` at `time` (the local time of the
// alarm): a new one when `notification` is 0 (the new handle is returned,
// never 0), else it replaces the one with that handle (whose handle is
// returned). The strings are copied; a null string is kept as an empty one.
// 0 on failure, changing nothing: ERROR_INVALID_HANDLE for an unknown
// handle, ERROR_INVALID_PARAMETER for a null application, time or
// notification or a date that does not exist (wDayOfWeek is not looked at),
// a store error otherwise.
HANDLE CeSetUserNotification(HANDLE notification, LPCWSTR application,
                             const SYSTEMTIME* time,
                             const CE_USER_NOTIFICATION* user_notification);
// Removes it; FALSE with ERROR_INVALID_HANDLE for an unknown handle.
BOOL CeClearUserNotification(HANDLE notification);

namespace platform {

// One notification as it is kept (for tools that show the device's state).
struct UserNotificationRecord {
  HANDLE handle = 0;
  std::u16string application;
  SYSTEMTIME time{};
  DWORD flags = 0;  // ActionFlags
  std::u16string title;
  std::u16string text;
  std::u16string sound;
  DWORD max_sound = 0;
};

// Every notification of the open device, in the order of their handles.
Status ListUserNotifications(std::vector<UserNotificationRecord>* out);

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_USER_NOTIFICATION_H_
