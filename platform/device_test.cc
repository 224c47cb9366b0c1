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

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 01000;  // no file: matches no mode
  return st.st_mode & 07777;
}

// Sets the umask for a scope (it is the process's: tests here are one
// thread at that point).
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : saved_(umask(mask)) {}
  ~ScopedUmask() { umask(saved_); }

 private:
  mode_t saved_;
};

// What the program makes in a root is private whatever the umask: every
// folder 0700 and every file of the store 0600; a store file left wider by an
// earlier program is closed too. The root, made beforehand, keeps its mode.
TEST(DeviceTest, EverythingTheProgramMakesIsPrivateWhateverTheUmask) {
  struct Case {
    const char* name;
    mode_t umask;
    mode_t root_mode;  // 0: the root is missing and made by the program
    bool old_store;    // a store.db 0644 from before, with its journal files
  } cases[] = {
      {"new root, umask 022", 022, 0, false},
      {"new root, umask 000", 0, 0, false},
      {"new root, umask 277", 0277, 0, false},
      {"empty root 0700, umask 000", 0, 0700, false},
      {"old store 0644, root 0700", 022, 0700, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDir dir;
    const std::string root = dir.path() + "/device";
    if (c.root_mode != 0) {
      ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
      if (c.old_store) {
        for (const char* name : {"/store.db", "/store.db-wal", "/store.db-shm", "/store.signal"}) {
          FILE* f = fopen((root + name).c_str(), "w");
          ASSERT_NE(f, nullptr);
          fclose(f);
          ASSERT_EQ(chmod((root + name).c_str(), 0644), 0);
        }
        ASSERT_EQ(mkdir((root + "/Storage Card").c_str(), 0777), 0);
        ASSERT_EQ(chmod((root + "/Storage Card").c_str(), 0777), 0);
      }
      ASSERT_EQ(chmod(root.c_str(), c.root_mode), 0);
    }
    {
      ScopedUmask mask(c.umask);
      ::testing::internal::CaptureStderr();
      platform::Status s = platform::OpenDevice(root);
      std::string warnings = ::testing::internal::GetCapturedStderr();
      ASSERT_TRUE(s.ok()) << s.message();
      // A write, so that SQLite makes its journal files now.
      ASSERT_TRUE(platform::SetDeviceSetting("timezone", "").ok());
      EXPECT_EQ(ModeOf(root), c.root_mode != 0 ? c.root_mode : 0700u);
      for (const char* folder : {"/Storage Card", "/Program Files"}) {
        EXPECT_EQ(ModeOf(root + folder), 0700u) << folder;
      }
      for (const char* file : {"/store.db", "/store.db-wal", "/store.db-shm", "/store.signal"}) {
        EXPECT_EQ(ModeOf(root + file), 0600u) << file;
      }
      if (c.old_store) {
        EXPECT_NE(warnings.find(root + "/store.db was open to other users (mode 0644)"), std::string::npos)
            << warnings;
      } else {
        EXPECT_EQ(warnings, "");
      }
      platform::CloseDevice();
    }
  }
}

// A root made beforehand is the user's: one other users may reach into is
// refused with the chmod to run, never changed; a folder of other files is
// no device; a root without a device is not made one when only opening.
TEST(DeviceTest, ARootThatIsNotOursToTakeIsRefusedAndLeftAsItWas) {
  struct Case {
    const char* name;
    mode_t mode;
    bool with_file;
    platform::DeviceCreation creation;
    const char* says;
  } cases[] = {
      {"0755", 0755, false, platform::DeviceCreation::kCreateIfEmpty, "is open to other users (mode 0755)"},
      {"0711", 0711, false, platform::DeviceCreation::kCreateIfEmpty, "chmod 700 '"},
      {"0777", 0777, false, platform::DeviceCreation::kCreateIfEmpty, "chmod 700 '"},
      {"01777", 01777, false, platform::DeviceCreation::kCreateIfEmpty, "(mode 1777)"},
      {"0750", 0750, false, platform::DeviceCreation::kCreateIfEmpty, "(mode 0750)"},
      {"a file in it", 0700, true, platform::DeviceCreation::kCreateIfEmpty, "holds other files and no device"},
      {"empty, open only", 0700, false, platform::DeviceCreation::kOpenOnly, "no device at "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDir dir;
    const std::string root = dir.path() + "/device";
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    if (c.with_file) {
      FILE* f = fopen((root + "/letter.txt").c_str(), "w");
      ASSERT_NE(f, nullptr);
      fclose(f);
    }
    ASSERT_EQ(chmod(root.c_str(), c.mode), 0);
    platform::Status s = platform::OpenDevice(root, c.creation);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.message().find(root), std::string::npos) << s.message();
    EXPECT_NE(s.message().find(c.says), std::string::npos) << s.message();
    EXPECT_FALSE(platform::DeviceIsOpen());
    EXPECT_EQ(ModeOf(root), c.mode);
    for (const char* made : {"/store.db", "/store.signal", "/Storage Card", "/Program Files"}) {
      EXPECT_FALSE(std::filesystem::exists(root + made)) << made;
    }
  }
  EXPECT_FALSE(platform::OpenDevice("").ok());
  EXPECT_FALSE(platform::OpenDevice(std::string(::testing::TempDir()) + "/hm-missing/x",
                                    platform::DeviceCreation::kOpenOnly)
                   .ok());
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
  EXPECT_EQ(platform::GetDeviceSetting("clock-offset"), "0");
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
      {"clock-offset", "-3600", true},     {"clock-offset", "86400", true},
      {"clock-offset", "4294967295", true}, {"clock-offset", "4294967296", false},
      {"clock-offset", "1.5", false},      {"clock-offset", "", false},
      {"clock-offset", "--5", false},
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
