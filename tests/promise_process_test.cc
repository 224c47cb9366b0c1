// Ordinary operations between syncs, through the real programs, with two
// desktops: whatever a user does on the device (disable a class, the daily
// purge, a mail store replaced, a loss in the second of a sync), a desktop
// whose sync reports success holds every record the device holds. A sync
// time set too low shows only to a desktop with an older anchor, so desktop
// B syncs less often than desktop A.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "nlohmann/json.hpp"
#include "peer/mirror.h"
#include "tests/support/device_system.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

#if defined(HM_HOLLOWMARCH_PATH) && defined(HM_HMDEVICE_PATH) && defined(HM_HMPEER_PATH)

using namespace std::chrono_literals;
using hmtest::RunResult;
using nlohmann::json;

constexpr const char* kPropText = "0x1001F";

std::string Line(const RunResult& r) { return r.out.substr(0, r.out.find('\n')); }

class PromiseProcessTest : public ::testing::Test {
 protected:
  PromiseProcessTest() : s_({HM_HOLLOWMARCH_PATH, HM_HMDEVICE_PATH, HM_HMPEER_PATH}) {}

  void SetUp() override {
    ASSERT_EQ(s_.Device({"init", "--demo"}).exit_code, 0);
    std::string why;
    ASSERT_TRUE(s_.Start(&why)) << why;
  }

  RunResult Device(const std::vector<std::string>& args) {
    RunResult r = s_.Device(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r;
  }

  std::string Add(const std::string& db, const std::string& text) {
    return Line(Device({"rec", "add", db, std::string(kPropText) + "=" + text}));
  }

  // Syncs one class into `dir`; the class's result.
  json Sync(const hmtest::TempDir& dir, unsigned dataClass) {
    EXPECT_TRUE(s_.WaitCaptured());
    RunResult r = s_.Peer({"--json", "sync", "--to", dir.path(), "--class", std::to_string(dataClass)});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    json result = json::parse(r.out, nullptr, false);
    return result.is_array() && !result.empty() ? result[0] : json();
  }

  // The texts of the records the mirror in `dir` holds for the class.
  std::vector<std::string> Mirrored(const hmtest::TempDir& dir, unsigned dataClass) {
    peer::Mirror mirror;
    std::string error;
    EXPECT_TRUE(mirror.Open(dir.path(), &error)) << error;
    std::vector<std::string> texts;
    const json records = mirror.Records(dataClass);
    for (const auto& [key, record] : records.items()) {
      for (const json& p : record["props"]) {
        if (p["value"].is_string()) texts.push_back(p["value"]);
      }
    }
    std::sort(texts.begin(), texts.end());
    return texts;
  }

  std::vector<std::string> OnDevice(const std::string& db) {
    std::vector<std::string> texts;
    for (const json& r : s_.Records(db)) {
      for (const json& p : r["props"]) {
        if (p["value"].is_string()) texts.push_back(p["value"]);
      }
    }
    std::sort(texts.begin(), texts.end());
    return texts;
  }

  hmtest::DeviceSystem s_;
  hmtest::TempDir a_;
  hmtest::TempDir b_;
};

// A lost class keeps sync time 0 through the daily purge: desktop B, whose
// anchor is older than A's slow sync, must not find the class complete.
TEST_F(PromiseProcessTest, ThePurgeDoesNotReviveALostClassesSyncTime) {
  Sync(a_, 24);
  Sync(b_, 24);
  ASSERT_EQ(s_.Peer({"disable", "24"}).exit_code, 0);
  Add("Demo Contacts", "while lost");
  ASSERT_EQ(Line(Device({"send", "0x113", "1"})), "0");  // the daily timer
  EXPECT_EQ(Sync(a_, 24)["kind"], "slow");
  EXPECT_EQ(Sync(b_, 24)["kind"], "slow");
  EXPECT_EQ(Mirrored(b_, 24), OnDevice("Demo Contacts"));
}

// A mail store deleted and made again is watched from then on: the class is
// lost once, and later changes reach the desktop by fast syncs.
TEST_F(PromiseProcessTest, AReplacedMailStoreIsWatchedAgain) {
  Sync(a_, 5454);
  Device({"db", "delete", "pmailMsgs"});
  Device({"db", "create", "pmailMsgs", "--type", "5454"});
  const std::string first = Add("pmailMsgs", "first");
  EXPECT_EQ(Sync(a_, 5454)["kind"], "slow");
  Add("pmailMsgs", "second");
  Device({"rec", "set", "pmailMsgs", first, std::string(kPropText) + "=first, changed"});
  json fast = Sync(a_, 5454);
  EXPECT_EQ(fast["kind"], "fast");
  EXPECT_EQ(fast["moved"], 2);
  EXPECT_EQ(Mirrored(a_, 5454), OnDevice("pmailMsgs"));
}

// A class lost and enabled again in the second of desktop B's sync: B's
// anchor is that second, and the class must not read complete from it.
TEST_F(PromiseProcessTest, ALossAndAnEnableInTheSecondOfASync) {
  Sync(a_, 24);
  for (int attempt = 0; attempt < 3; ++attempt) {
    SCOPED_TRACE(attempt);
    // B's anchor, the loss and the enable, as close together as the
    // programs can make them (mostly in one second).
    Sync(b_, 24);
    ASSERT_EQ(s_.Peer({"disable", "24"}).exit_code, 0);
    Add("Demo Contacts", "lost " + std::to_string(attempt));
    ASSERT_EQ(s_.Peer({"enable", "24"}).exit_code, 0);
    EXPECT_EQ(Sync(b_, 24)["kind"], "slow");
    EXPECT_EQ(Mirrored(b_, 24), OnDevice("Demo Contacts"));
  }
}

// The device's clock moved: set back after a sync, a change is stamped
// before the desktop's anchor, and forward and back again, before a change
// stamped in the future. Either way the class is lost (a later sync is slow)
// and the mirror still equals the device; forward alone loses nothing.
TEST_F(PromiseProcessTest, AClockSetBackOrForwardAndBackLosesTheClass) {
  struct Step {
    const char* name;
    const char* offset;  // the device's clock-offset before the change
    const char* kind;    // of the sync after it
  } steps[] = {
      {"set back an hour", "-3600", "slow"},
      {"forward again, still lost", "0", "slow"},
      {"tracking again", "0", "fast"},
      {"forward two hours", "7200", "fast"},
      {"back again", "0", "slow"},
  };
  Sync(a_, 24);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    Device({"config", "clock-offset", step.offset});
    // Every process of the device follows the setting within 250 ms.
    std::this_thread::sleep_for(500ms);
    Add("Demo Contacts", step.name);
    EXPECT_EQ(Sync(a_, 24)["kind"], step.kind);
    EXPECT_EQ(Mirrored(a_, 24), OnDevice("Demo Contacts"));
  }
}

// A database deleted and made again under its name, in a class found by
// type and in mail, while the system runs and while none runs: the class is
// lost once (the next sync reads it anew, by itself), and the new database
// is watched, so that later changes come by fast syncs.
TEST_F(PromiseProcessTest, AReplacedDatabaseIsReadAnewAndWatched) {
  struct Case {
    const char* db;
    const char* type;
    unsigned dataClass;
    bool running;
    bool killedThenReset;  // none running: killed, and a start within 30 s of a reset
  } cases[] = {
      {"Demo Contacts", "24", 24, true, false},
      {"Demo Notes", "291", 291, false, false},
      {"pmailMsgs", "5454", 5454, false, false},
      {"pmailMsgs", "5454", 5454, false, true},
      {"Demo Tasks", "26", 26, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.db << (c.running ? ", running" : ", none running")
                                    << (c.killedThenReset ? ", killed, then a reset" : ""));
    Sync(a_, c.dataClass);
    if (c.killedThenReset) {
      ASSERT_TRUE(s_.WaitCaptured());
      ASSERT_TRUE(s_.Signal(SIGKILL));
    } else if (!c.running) {
      ASSERT_TRUE(s_.Shutdown());
    }
    Device({"db", "delete", c.db});
    Device({"db", "create", c.db, "--type", c.type});
    Add(c.db, "in the new database");
    if (c.killedThenReset) Device({"reset"});
    if (!c.running) {
      std::string why;
      ASSERT_TRUE(s_.Start(&why)) << why;
    }
    EXPECT_EQ(Sync(a_, c.dataClass)["kind"], "slow");
    EXPECT_EQ(Mirrored(a_, c.dataClass), OnDevice(c.db));
    Add(c.db, "later");
    EXPECT_EQ(Sync(a_, c.dataClass)["kind"], "fast");
    EXPECT_EQ(Mirrored(a_, c.dataClass), OnDevice(c.db));
  }
}

#else

TEST(PromiseProcessTest, NeedsThePrograms) { GTEST_SKIP() << "programs not built"; }

#endif

}  // namespace
