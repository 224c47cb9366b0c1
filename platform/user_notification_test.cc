#include "platform/user_notification.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "tests/support/temp_device.h"

namespace {

namespace fault = platform::fault;
using platform::UserNotificationRecord;

SYSTEMTIME AlarmTime(WORD day = 24, WORD hour = 9) {
  SYSTEMTIME t{};
  t.wYear = 2024;
  t.wMonth = 12;
  t.wDay = day;
  t.wHour = hour;
  return t;
}

// Holds its strings so the notification's pointers stay valid.
struct Alarm {
  std::u16string title = u"Alarm Reminder";
  std::u16string text = u"Alarm Message";
  std::u16string sound = u"Alarm1.wav";
  CE_USER_NOTIFICATION n{};
  const CE_USER_NOTIFICATION* get() {
    n.ActionFlags = PUN_DIALOG | PUN_SOUND;
    n.pwszDialogTitle = title.data();
    n.pwszDialogText = text.data();
    n.pwszSound = sound.data();
    return &n;
  }
};

std::vector<UserNotificationRecord> List() {
  std::vector<UserNotificationRecord> out;
  platform::Status s = platform::ListUserNotifications(&out);
  EXPECT_TRUE(s.ok()) << s.message();
  return out;
}

TEST(UserNotificationTest, SetsReplacesAndClears) {
  hmtest::TempDevice device;
  Alarm alarm;
  SYSTEMTIME time = AlarmTime();
  HANDLE first = CeSetUserNotification(0, u"CALENDAR.EXE", &time, alarm.get());
  ASSERT_NE(first, 0u) << GetLastError();
  alarm.text = u"Dentist";
  HANDLE second = CeSetUserNotification(0, u"CALENDAR.EXE", &time, alarm.get());
  ASSERT_NE(second, 0u);
  EXPECT_NE(second, first);

  auto kept = List();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].handle, first);
  EXPECT_EQ(kept[0].application, u"CALENDAR.EXE");
  EXPECT_EQ(kept[0].title, u"Alarm Reminder");
  EXPECT_EQ(kept[0].text, u"Alarm Message");
  EXPECT_EQ(kept[0].sound, u"Alarm1.wav");
  EXPECT_EQ(kept[0].flags, PUN_DIALOG | PUN_SOUND);
  EXPECT_EQ(kept[0].time.wDay, 24);
  EXPECT_EQ(kept[1].text, u"Dentist");

  // Setting with an existing handle replaces that one only.
  SYSTEMTIME later = AlarmTime(25, 18);
  alarm.text = u"Moved";
  EXPECT_EQ(CeSetUserNotification(first, u"CALENDAR.EXE", &later, alarm.get()), first);
  kept = List();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].text, u"Moved");
  EXPECT_EQ(kept[0].time.wDay, 25);
  EXPECT_EQ(kept[0].time.wHour, 18);
  EXPECT_EQ(kept[1].text, u"Dentist");

  EXPECT_TRUE(CeClearUserNotification(first));
  kept = List();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].handle, second);
}

TEST(UserNotificationTest, UnknownHandlesFailAndHandlesAreNeverReused) {
  hmtest::TempDevice device;
  Alarm alarm;
  SYSTEMTIME time = AlarmTime();
  HANDLE handle = CeSetUserNotification(0, u"CALENDAR.EXE", &time, alarm.get());
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(CeClearUserNotification(handle));

  struct Case {
    const char* name;
    HANDLE handle;
  } cases[] = {{"cleared", handle}, {"never issued", handle + 100}, {"all ones", 0xFFFFFFFFu}};
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(CeClearUserNotification(c.handle)) << "case " << c.name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << "case " << c.name;
    SetLastError(0);
    EXPECT_EQ(CeSetUserNotification(c.handle, u"CALENDAR.EXE", &time, alarm.get()), 0u)
        << "case " << c.name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << "case " << c.name;
  }
  EXPECT_TRUE(List().empty());

  // The newest handle was cleared; the next one is still new.
  HANDLE next = CeSetUserNotification(0, u"CALENDAR.EXE", &time, alarm.get());
  EXPECT_NE(next, 0u);
  EXPECT_NE(next, handle);
}

TEST(UserNotificationTest, RejectsBadArgumentsChangingNothing) {
  hmtest::TempDevice device;
  Alarm alarm;
  SYSTEMTIME good = AlarmTime();
  SYSTEMTIME no_such_day = AlarmTime(32);
  SYSTEMTIME month_13 = AlarmTime();
  month_13.wMonth = 13;
  struct Case {
    const char* name;
    LPCWSTR application;
    const SYSTEMTIME* time;
    const CE_USER_NOTIFICATION* notification;
  } cases[] = {
      {"no application", nullptr, &good, alarm.get()},
      {"no time", u"CALENDAR.EXE", nullptr, alarm.get()},
      {"no notification", u"CALENDAR.EXE", &good, nullptr},
      {"day 32", u"CALENDAR.EXE", &no_such_day, alarm.get()},
      {"month 13", u"CALENDAR.EXE", &month_13, alarm.get()},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(CeSetUserNotification(0, c.application, c.time, c.notification), 0u)
        << "case " << c.name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "case " << c.name;
  }
  fault::FailNext(fault::Call::kCeSetUserNotification, ERROR_OUTOFMEMORY);
  EXPECT_EQ(CeSetUserNotification(0, u"CALENDAR.EXE", &good, alarm.get()), 0u);
  EXPECT_EQ(GetLastError(), ERROR_OUTOFMEMORY);
  EXPECT_TRUE(List().empty());

  // Null strings of the notification are kept as empty ones.
  CE_USER_NOTIFICATION bare{};
  HANDLE handle = CeSetUserNotification(0, u"CALENDAR.EXE", &good, &bare);
  ASSERT_NE(handle, 0u);
  auto kept = List();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].title, u"");
}

// Runs `body` in a child process that opens the device itself, and returns
// its exit code. The parent holds no connection to the device meanwhile.
int InChild(const std::string& root, int (*body)()) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!platform::OpenDevice(root).ok()) _exit(100);
    int code = body();
    platform::CloseDevice();
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(UserNotificationTest, OutlivesTheProcessThatSetIt) {
  hmtest::TempDevice device(/*open=*/false);
  // The child's exit code carries the handle's low bits.
  int set_code = InChild(device.root(), [] {
    Alarm alarm;
    alarm.title = u"Meeting";
    SYSTEMTIME time = AlarmTime();
    HANDLE h = CeSetUserNotification(0, u"CALENDAR.EXE", &time, alarm.get());
    return h == 0 ? 0 : static_cast<int>(h & 0x7F);
  });
  ASSERT_GT(set_code, 0);

  // Another process sees it and clears it.
  int clear_code = InChild(device.root(), [] {
    std::vector<UserNotificationRecord> kept;
    if (!platform::ListUserNotifications(&kept).ok() || kept.size() != 1) return 1;
    if (kept[0].title != u"Meeting") return 2;
    return CeClearUserNotification(kept[0].handle) ? 0 : 3;
  });
  EXPECT_EQ(clear_code, 0);

  ASSERT_TRUE(platform::OpenDevice(device.root()).ok());
  EXPECT_TRUE(List().empty());
  Alarm alarm;
  SYSTEMTIME time = AlarmTime();
  HANDLE next = CeSetUserNotification(0, u"CALENDAR.EXE", &time, alarm.get());
  EXPECT_NE(static_cast<int>(next & 0x7F), set_code);  // not the cleared handle again
  platform::CloseDevice();
}

}  // namespace
