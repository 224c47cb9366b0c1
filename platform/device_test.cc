#include "platform/device.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "gtest/gtest.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "tests/support/temp_device.h"

namespace {

TEST(DeviceTest, OpenCreatesAPrivateRootWithBothVolumeFolders) {
  hmtest::TempDir dir;
  std::string root = dir.path() + "/a/device";
  ASSERT_TRUE(platform::OpenDevice(root).ok());
  EXPECT_TRUE(platform::DeviceIsOpen());
  EXPECT_EQ(platform::DeviceRoot(), root);
  struct stat st;
  ASSERT_EQ(stat(root.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(std::filesystem::is_directory(root + "/Storage Card"));
  EXPECT_TRUE(std::filesystem::is_directory(root + "/Program Files"));
  platform::CloseDevice();
  EXPECT_FALSE(platform::DeviceIsOpen());
  EXPECT_EQ(platform::DeviceRoot(), "");
}

TEST(DeviceTest, OpenFailsWhenTheRootIsAFile) {
  hmtest::TempDir dir;
  std::string root = dir.path() + "/file";
  FILE* f = fopen(root.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  platform::Status s = platform::OpenDevice(root);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find(root), std::string::npos) << s.message();
}

TEST(DeviceTest, ResolveRootPrefersFlagThenEnvironment) {
  std::string saved_root = std::getenv("HOLLOWMARCH_ROOT") ? std::getenv("HOLLOWMARCH_ROOT") : "";
  setenv("HOLLOWMARCH_ROOT", "/env/root", 1);
  setenv("XDG_STATE_HOME", "/xdg", 1);
  EXPECT_EQ(platform::ResolveDeviceRoot("/flag"), "/flag");
  EXPECT_EQ(platform::ResolveDeviceRoot(""), "/env/root");
  unsetenv("HOLLOWMARCH_ROOT");
  EXPECT_EQ(platform::ResolveDeviceRoot(""), "/xdg/hollowmarch");
  unsetenv("XDG_STATE_HOME");
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(platform::ResolveDeviceRoot(""), "/home/u/.local/state/hollowmarch");
  if (!saved_root.empty()) setenv("HOLLOWMARCH_ROOT", saved_root.c_str(), 1);
}

TEST(DeviceTest, SettingsHaveDefaults) {
  hmtest::TempDevice device;
  EXPECT_EQ(platform::GetDeviceSetting("os-version"), "3.0");
  EXPECT_EQ(platform::GetDeviceSetting("store-capacity"), "0");
  EXPECT_EQ(platform::GetDeviceSetting("timezone"), "");
}

TEST(DeviceTest, SettingsAreValidatedAndBadValuesChangeNothing) {
  hmtest::TempDevice device;
  struct Case {
    const char* key;
    const char* value;
    bool accepted;
  } cases[] = {
      {"os-version", "4.21", true},        {"os-version", "4", false},
      {"os-version", "4.x", false},        {"os-version", ".1", false},
      {"store-capacity", "1048576", true}, {"store-capacity", "-1", false},
      {"store-capacity", "1e6", false},    {"store-capacity", "", false},
      {"timezone", "Europe/Berlin", true}, {"timezone", "", true},
      {"timezone", "Mars/Olympus", false}, {"timezone", "../../etc/passwd", false},
      {"timezone", "/etc/localtime", false}, {"timezone", "zone.tab", false},
      {"colour", "blue", false},
  };
  for (const Case& c : cases) {
    std::string before = platform::GetDeviceSetting(c.key);
    platform::Status s = platform::SetDeviceSetting(c.key, c.value);
    EXPECT_EQ(s.ok(), c.accepted) << "case " << c.key << "=" << c.value << ": " << s.message();
    EXPECT_EQ(platform::GetDeviceSetting(c.key), c.accepted ? c.value : before)
        << "case " << c.key << "=" << c.value;
    if (!c.accepted) {
      EXPECT_FALSE(s.message().empty()) << "case " << c.key;
    }
  }
}

TEST(DeviceTest, SettingsPersistWithTheDevice) {
  hmtest::TempDevice device;
  ASSERT_TRUE(platform::SetDeviceSetting("os-version", "2.11").ok());
  std::string root = device.root();
  platform::CloseDevice();
  ASSERT_TRUE(platform::OpenDevice(root).ok());
  EXPECT_EQ(platform::GetDeviceSetting("os-version"), "2.11");
}

TEST(DeviceTest, ResetRestartsTheUptimeAtZero) {
  hmtest::TempDevice device;
  uint64_t before = platform::DeviceUptimeMs();
  ASSERT_TRUE(platform::ResetDevice().ok());
  uint64_t after = platform::DeviceUptimeMs();
  EXPECT_LT(after, 1000u);
  EXPECT_LE(after, before);
  Sleep(20);
  EXPECT_GE(platform::DeviceUptimeMs(), after + 20);
  EXPECT_GE(GetTickCount(), 20u);
}

TEST(DeviceTest, UptimeOverrideWins) {
  hmtest::TempDevice device;
  platform::fault::SetUptimeMs(12345);
  EXPECT_EQ(platform::DeviceUptimeMs(), 12345u);
  EXPECT_EQ(GetTickCount(), 12345u);
  platform::fault::SetUptimeMs(std::nullopt);
  EXPECT_NE(platform::DeviceUptimeMs(), 12345u);
}

}  // namespace
