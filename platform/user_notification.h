// User notifications (alarms) kept with the device: they outlive the process
// that set them.
#ifndef HOLLOWMARCH_PLATFORM_USER_NOTIFICATION_H_
#define HOLLOWMARCH_PLATFORM_USER_NOTIFICATION_H_

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

// Sets a notification for `application` at `time`: a new one when
// `notification` is 0 (the new handle is returned, never 0), else it replaces
// the one with that handle (whose handle is returned). 0 on failure
// (ERROR_INVALID_HANDLE for an unknown handle).
HANDLE CeSetUserNotification(HANDLE notification, LPCWSTR application,
                             const SYSTEMTIME* time,
                             const CE_USER_NOTIFICATION* user_notification);
// Removes it; FALSE with ERROR_INVALID_HANDLE for an unknown handle.
BOOL CeClearUserNotification(HANDLE notification);

#endif  // HOLLOWMARCH_PLATFORM_USER_NOTIFICATION_H_
