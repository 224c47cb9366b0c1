// Another process holding the store's write lock (a long import, a backup,
// sqlite3 in another terminal) holds up capture alone: the server keeps
// answering, the read-only tools and the window's read-only requests keep
// working, and the change written just
// before the store went busy is captured once it is free again. Real
// processes on a temporary device.
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "nlohmann/json.hpp"
#include "tests/support/device_system.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;
using hmtest::DeviceSystem;
using hmtest::RunResult;
using nlohmann::json;

hmtest::ProgramPaths Paths() { return {HM_HOLLOWMARCH_PATH, HM_HMDEVICE_PATH, HM_HMPEER_PATH}; }

constexpr int kHoldSeconds = 25;

class BusyStoreTest : public ::testing::Test {
 protected:
  BusyStoreTest() : s_(Paths()) {}

  void SetUp() override {
    ASSERT_EQ(s_.Device({"init", "--demo"}).exit_code, 0);
    std::string why;
    ASSERT_TRUE(s_.Start(&why)) << why;
    RunResult enable = s_.Peer({"--json", "enable", "24"});
    ASSERT_EQ(enable.exit_code, 0) << enable.out << enable.err;
    since_ = std::to_string(json::parse(enable.out)["deviceTime"].get<long long>());
  }

  // Starts a holder whose write reaches the system while the store is busy:
  // the server is stopped (SIGSTOP) while the holder writes and takes the
  // lock, so it is told of the write only once the store is held. True once
  // the system is waiting to capture it.
  bool HoldWithCaptureWaiting() {
    s_.server()->Signal(SIGSTOP);
    holder_ = std::make_unique<hmtest::Process>(std::vector<std::string>{
        HM_STORE_HOLDER_HELPER_PATH, s_.root(), "Demo Contacts", std::to_string(kHoldSeconds)});
    const bool held = holder_->WaitForOut("held", 10s);
    s_.server()->Signal(SIGCONT);
    if (!held) return false;
    json status = s_.Status();
    return status.is_object() && status["uncaptured"] != 0;
  }

  DeviceSystem s_;
  std::string since_;
  std::unique_ptr<hmtest::Process> holder_;
};

TEST_F(BusyStoreTest, TheServerAndTheReadingToolsAnswerWhileCaptureWaits) {
  ASSERT_TRUE(HoldWithCaptureWaiting()) << "the system never had a capture waiting for the store";
  // Each must answer well within the hold; hmpeer gives a reply 2 s.
  struct Ask {
    const char* what;
    std::vector<std::string> args;
    bool peer;
  };
  const Ask asks[] = {
      {"hello and the sync state", {"--timeout", "2", "--json", "state", "24", "--since", since_}, true},
      {"the time zone", {"--timeout", "2", "timezone"}, true},
      {"a remote read", {"--timeout", "2", "dump", "Demo Contacts"}, true},
      {"hmdevice db list", {"db", "list"}, false},
      {"hmdevice rec list", {"rec", "list", "Demo Contacts"}, false},
      {"hmdevice status", {"status"}, false},
      // Through the window, whose thread is the one waiting to capture: it
      // answers the requests that only read while it waits.
      {"hmdevice changes", {"changes", "24"}, false},
      {"the local sync state", {"send", "0x8001", "24"}, false},
  };
  for (const Ask& ask : asks) {
    SCOPED_TRACE(ask.what);
    const auto start = std::chrono::steady_clock::now();
    RunResult r = ask.peer ? s_.Peer(ask.args) : s_.Device(ask.args);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    // Answered while the store was still held, not after.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  }
  EXPECT_TRUE(holder_->Running()) << "the store was let go before every question was answered: " << holder_->Out() << holder_->Err();

  // Once the store is free the waiting change is captured: the log is still
  // complete and holds it.
  ASSERT_TRUE(holder_->Wait(std::chrono::seconds(kHoldSeconds + 10)));
  ASSERT_TRUE(s_.WaitCaptured());
  EXPECT_EQ(s_.ClassState(24), "tracking");
  RunResult changes = s_.Device({"changes", "24"});
  EXPECT_EQ(changes.exit_code, 0) << changes.err;
  EXPECT_NE(changes.out, "") << "the change written before the store went busy was not logged";
}

}  // namespace
