// KeepChangeLogs: with the value 1 an orderly close keeps the change logs and
// leaves the notification journal to the next instance, so that a start at
// any time after captures what was written meanwhile and the next sync is a
// fast one; without it every close loses the tracked classes. What the
// journal cannot vouch for (a database replaced while none ran, a restored
// store) still loses its class. Real processes on a temporary device, whose
// start lies far enough back that no start counts as soon after it.
#include <signal.h>

#include <fstream>
#include <map>
#include <string>

#include "gtest/gtest.h"
#include "nlohmann/json.hpp"
#include "peer/mirror.h"
#include "tests/support/device_system.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

using hmtest::DeviceSystem;
using hmtest::RunResult;
using nlohmann::json;

hmtest::ProgramPaths Paths() { return {HM_HOLLOWMARCH_PATH, HM_HMDEVICE_PATH, HM_HMPEER_PATH}; }

using hmtest::HostUptime;

std::string Line(const RunResult& r) { return r.out.substr(0, r.out.find('\n')); }

class KeepChangeLogsTest : public ::testing::Test {
 protected:
  KeepChangeLogsTest() : s_(Paths()) {}

  void SetUp() override {
    if (HostUptime() < 40) GTEST_SKIP() << "the host started less than 40 s ago";
    ASSERT_EQ(s_.Device({"init", "--demo"}).exit_code, 0);
  }

  void SetKeep(const char* value) {
    if (value == nullptr) {
      s_.Device({"reg", "delete", "KeepChangeLogs"});
    } else {
      ASSERT_EQ(s_.Device({"reg", "set", "KeepChangeLogs", value}).exit_code, 0);
    }
  }

  // Syncs the desktop and gives each class's kind ("fast", "slow").
  std::map<unsigned, std::string> Sync() {
    EXPECT_TRUE(s_.WaitCaptured());
    RunResult sync = s_.Peer({"--json", "sync", "--to", desk_.path()});
    EXPECT_EQ(sync.exit_code, 0) << sync.out << sync.err;
    std::map<unsigned, std::string> kinds;
    if (sync.exit_code != 0) return kinds;
    for (const json& r : json::parse(sync.out)) kinds[r["class"].get<unsigned>()] = r["kind"].get<std::string>();
    return kinds;
  }

  // A record added to `db`; its oid.
  std::string Add(const std::string& db, const std::string& text) {
    RunResult r = s_.Device({"rec", "add", db, "0x1001F=" + text});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return Line(r);
  }

  bool Mirrored(unsigned dataClass, const std::string& oid) {
    peer::Mirror mirror;
    std::string error;
    if (!mirror.Open(desk_.path(), &error)) {
      ADD_FAILURE() << error;
      return false;
    }
    const json records = mirror.Records(dataClass);
    for (const auto& [key, record] : records.items()) {
      if (key.substr(key.find(':') + 1) == oid) return true;
    }
    return false;
  }

  // Running, every class tracking after a first (slow) sync, one edit
  // captured since.
  void TrackEverything() {
    std::string why;
    ASSERT_TRUE(s_.Start(&why)) << why;
    Sync();
    Add("Demo Contacts", "before the close");
    ASSERT_TRUE(s_.WaitCaptured());
  }

  DeviceSystem s_;
  hmtest::TempDir desk_;
};

// Whatever closes the system in order, the next sync after a late start is
// fast with KeepChangeLogs 1 and carries what was written while none ran;
// with 0 or no value every class is lost, as always.
TEST_F(KeepChangeLogsTest, AnOrderlyCloseKeepsTheLogsOnlyWhenAskedTo) {
  struct Case {
    const char* name;
    const char* keep;  // the value; null: none
    bool (*close)(DeviceSystem&);
  };
  const Case cases[] = {
      {"no value, Shutdown", nullptr, [](DeviceSystem& s) { return s.Shutdown(); }},
      {"0, SIGTERM", "0", [](DeviceSystem& s) { return s.Signal(SIGTERM); }},
      {"1, Shutdown", "1", [](DeviceSystem& s) { return s.Shutdown(); }},
      {"1, SIGTERM", "1", [](DeviceSystem& s) { return s.Signal(SIGTERM); }},
      {"1, a second instance replacing the first", "1", [](DeviceSystem& s) { return s.Replace(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(SetKeep(c.keep));
    ASSERT_NO_FATAL_FAILURE(TrackEverything());
    ASSERT_TRUE(c.close(s_)) << "the close did not end with status 0";
    const std::string contact = Add("Demo Contacts", "while none ran");
    const std::string mail = Add("pmailMsgs", "while none ran");
    if (!s_.ServerRunning()) {
      std::string why;
      ASSERT_TRUE(s_.Start(&why)) << why;
    }
    const bool kept = c.keep != nullptr && std::string(c.keep) == "1";
    const std::string state = kept ? "tracking" : "lost";
    EXPECT_EQ(s_.ClassState(24), state);
    EXPECT_EQ(s_.ClassState(5454), state);
    for (const auto& [dataClass, kind] : Sync()) {
      EXPECT_EQ(kind, kept ? "fast" : "slow") << "class " << dataClass;
    }
    EXPECT_TRUE(Mirrored(24, contact));
    EXPECT_TRUE(Mirrored(5454, mail));
    ASSERT_TRUE(s_.Signal(SIGKILL));
  }
}

// The journal vouches only for the databases it watched: one replaced (the
// same name, a new identifier) while none ran loses its class, the others
// keep theirs.
TEST_F(KeepChangeLogsTest, ADatabaseReplacedWhileNoneRanStillLosesItsClass) {
  ASSERT_NO_FATAL_FAILURE(SetKeep("1"));
  ASSERT_NO_FATAL_FAILURE(TrackEverything());
  ASSERT_TRUE(s_.Shutdown());
  ASSERT_EQ(s_.Device({"db", "delete", "Demo Contacts"}).exit_code, 0);
  ASSERT_EQ(s_.Device({"db", "create", "Demo Contacts", "--type", "24"}).exit_code, 0);
  const std::string contact = Add("Demo Contacts", "Bob");
  const std::string task = Add("Demo Tasks", "while none ran");
  std::string why;
  ASSERT_TRUE(s_.Start(&why)) << why;
  EXPECT_EQ(s_.ClassState(24), "lost");
  EXPECT_EQ(s_.ClassState(26), "tracking");
  std::map<unsigned, std::string> kinds = Sync();
  EXPECT_EQ(kinds[24], "slow");
  EXPECT_EQ(kinds[26], "fast");
  EXPECT_TRUE(Mirrored(24, contact));
  EXPECT_TRUE(Mirrored(26, task));
}

// A restored store is not the one the journal watched: AppRunAfterRestore
// trusts no kept log, and every class syncs slowly.
TEST_F(KeepChangeLogsTest, AppRunAfterRestoreLosesEveryClass) {
  ASSERT_NO_FATAL_FAILURE(SetKeep("1"));
  ASSERT_NO_FATAL_FAILURE(TrackEverything());
  ASSERT_TRUE(s_.Shutdown());
  Add("Demo Contacts", "while none ran");
  std::string why;
  ASSERT_TRUE(s_.Start(&why, {"AppRunAfterRestore"})) << why;
  for (unsigned dataClass : {24u, 25u, 26u, 291u, 5454u}) {
    EXPECT_NE(s_.ClassState(dataClass), "tracking") << "class " << dataClass;
  }
  for (const auto& [dataClass, kind] : Sync()) EXPECT_EQ(kind, "slow") << "class " << dataClass;
}

}  // namespace
