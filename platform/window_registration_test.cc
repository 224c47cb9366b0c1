#include "platform/window_registration.h"

#include <sys/stat.h>

#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "platform/hex.h"
#include "tests/support/temp_device.h"

namespace platform::ipc {
namespace {

TEST(HexTest, ReadsOnlyTheLowerCaseDigitsTheSystemWrites) {
  struct Case {
    const char* text;
    size_t count;
    bool ok;
    uint32_t value;
  };
  const Case cases[] = {
      {"0000002a", 8, true, 42},       {"ffffffff", 8, true, 0xFFFFFFFF},
      {"0041", 4, true, 0x41},         {"0000002A", 8, false, 0},
      {"00x0002a", 8, false, 0},       {"002a", 8, false, 0},  // stops at the NUL
      {"123456789", 9, false, 0},      {"", 0, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t value = 7;
    EXPECT_EQ(ParseLowerHex(c.text, c.count, &value), c.ok);
    EXPECT_EQ(value, c.ok ? c.value : 7u);
  }
  const char16_t wide[] = u"00ab";
  uint32_t value = 0;
  EXPECT_TRUE(ParseLowerHex(wide, 4, &value));
  EXPECT_EQ(value, 0xABu);
}

TEST(WindowRegistrationTest, OnlyTheNamesOfRegistrationsAreTakenForWindows) {
  struct Case {
    const char* name;
    bool ok;
    HWND hwnd;
  };
  const Case cases[] = {
      {"w-0000002a", true, 42},  {"w-7fffffff", true, 0x7FFFFFFF}, {"w-00000000", false, 0},
      {"w-0000002A", false, 0},  {"w-000002a", false, 0},         {"w-0000002a0", false, 0},
      {"w-0000002a.tmp.12", false, 0}, {"x-0000002a", false, 0},   {"hwnd-counter", false, 0},
      {"w-", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HWND hwnd = 5;
    EXPECT_EQ(ParseRegistrationName(c.name, &hwnd), c.ok);
    EXPECT_EQ(hwnd, c.ok ? c.hwnd : 5u);
  }
}

TEST(WindowRegistrationTest, AWrittenRegistrationReadsBackAsItWas) {
  hmtest::TempDir dir;
  ASSERT_TRUE(EnsureRunDir(dir.path()));
  const std::string path = RegistrationPath(dir.path(), 0x1234);
  EXPECT_EQ(path, dir.path() + "/run/w-00001234");
  Registration written{4321, "@hm-endpoint", u"Class \u00e9\u4e2d", u""};
  ASSERT_TRUE(WriteRegistration(path, written));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  Registration read;
  ASSERT_TRUE(ReadRegistration(path, &read));
  EXPECT_EQ(read.pid, written.pid);
  EXPECT_EQ(read.endpoint, written.endpoint);
  EXPECT_EQ(read.class_name, written.class_name);
  EXPECT_EQ(read.name, written.name);
}

TEST(WindowRegistrationTest, AMalformedOrCutShortFileIsNoRegistration) {
  hmtest::TempDir dir;
  ASSERT_TRUE(EnsureRunDir(dir.path()));
  const std::string good = "pid 12\nsocket @s\nclass 0041\nname 0042\n";
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"cut short", good.substr(0, good.size() - 1)},
      {"no pid", "socket @s\nclass 0041\nname 0042\n"},
      {"pid 0", "pid 0\nsocket @s\nclass 0041\nname 0042\n"},
      {"pid with junk", "pid 12x\nsocket @s\nclass 0041\nname 0042\n"},
      {"empty socket", "pid 12\nsocket \nclass 0041\nname 0042\n"},
      {"odd class digits", "pid 12\nsocket @s\nclass 004\nname 0042\n"},
      {"upper-case name digits", "pid 12\nsocket @s\nclass 0041\nname 004A\n"},
      {"a line without a value", "pid 12\nsocket @s\nclass\nname 0042\n"},
      {"empty", ""},
  };
  const std::string path = RegistrationPath(dir.path(), 1);
  Registration r;
  {
    std::ofstream(path) << good;
    ASSERT_TRUE(ReadRegistration(path, &r));
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(path, std::ios::trunc) << c.text;
    EXPECT_FALSE(ReadRegistration(path, &r));
  }
  EXPECT_FALSE(ReadRegistration(dir.path() + "/run/w-00000099", &r));
}

TEST(WindowRegistrationTest, TheRunFolderIsClosedToOthers) {
  hmtest::TempDir dir;
  const std::string run = RunDir(dir.path());
  ASSERT_EQ(::mkdir(run.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(run.c_str(), 0755), 0);
  ASSERT_TRUE(EnsureRunDir(dir.path()));
  struct stat st;
  ASSERT_EQ(::stat(run.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A file where the folder should be is refused.
  hmtest::TempDir other;
  std::ofstream(RunDir(other.path())) << "x";
  EXPECT_FALSE(EnsureRunDir(other.path()));
}

}  // namespace
}  // namespace platform::ipc
