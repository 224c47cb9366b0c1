// The program as a whole, with real processes on a temporary device: the
// server `hollowmarch`, and `hmdevice` playing the handheld's other
// applications.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "hm_version.h"
#include "nlohmann/json.hpp"
#include "peer/device_requests.h"
#include "peer/peer_client.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

using namespace std::chrono_literals;
using hmtest::Process;
using hmtest::RunResult;

constexpr const char* kLogName280 = "\\Hollowmarch Change Log 280";

class ShellProcessTest : public ::testing::Test {
 protected:
  ShellProcessTest() : device_(false), port_(hmtest::FreePort()) {
    Device({"reg", "set", "Port", std::to_string(port_)});
  }

  RunResult Device(std::vector<std::string> args, const std::string& input = "") {
    std::vector<std::string> argv = {HM_HMDEVICE_PATH, "--root", device_.root()};
    argv.insert(argv.end(), args.begin(), args.end());
    return hmtest::Run(argv, input);
  }

  // hmdevice send: the result, or -1 when no window answers.
  long long Send(unsigned message, long long wparam = 0, long long lparam = 0) {
    RunResult r = Device({"send", std::to_string(message), std::to_string(wparam), std::to_string(lparam)});
    if (r.exit_code != 0) return -1;
    return std::stoll(r.out);
  }

  std::unique_ptr<Process> Start(std::vector<std::string> words = {}) {
    std::vector<std::string> argv = {HM_HOLLOWMARCH_PATH, "--root", device_.root()};
    if (!words.empty()) argv.push_back("--");
    argv.insert(argv.end(), words.begin(), words.end());
    auto p = std::make_unique<Process>(argv);
    return p;
  }

  // Waits until the running system answers the local version request.
  bool WaitRunning(Process& p) {
    for (int i = 0; i < 500; ++i) {
      if (Send(0x8004) == 13) return true;
      if (!p.Running()) return false;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  std::vector<std::string> DatabaseNames() {
    RunResult r = Device({"db", "list", "--json"});
    std::vector<std::string> names;
    for (const auto& db : nlohmann::json::parse(r.out)) names.push_back(db["name"]);
    return names;
  }

  bool HasDatabase(const std::string& name) {
    for (const std::string& n : DatabaseNames()) {
      if (n == name || "\\" + n == name) return true;
    }
    return false;
  }

  std::string Reg(const std::string& name) {
    RunResult r = Device({"reg", "get", name});
    return r.exit_code == 0 ? r.out.substr(0, r.out.find('\n')) : "missing";
  }

  hmtest::TempDevice device_;
  int port_;
};

TEST_F(ShellProcessTest, ShutdownClosesTheRunningInstanceAndItsLogs) {
  ASSERT_EQ(Device({"db", "create", "Contacts", "--type", "24"}).exit_code, 0);
  auto server = Start();
  ASSERT_TRUE(WaitRunning(*server)) << server->Err();
  EXPECT_TRUE(HasDatabase(kLogName280));

  RunResult shutdown = hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", device_.root(), "Shutdown"}, "", 20s);
  EXPECT_EQ(shutdown.exit_code, 0) << shutdown.err;
  // The old instance has finished its close before the new process exits.
  EXPECT_FALSE(HasDatabase(kLogName280));
  EXPECT_EQ(Send(0x8004), -1) << "no window is left";
  RunResult old;
  ASSERT_TRUE(server->Wait(10s, &old));
  EXPECT_EQ(old.exit_code, 0) << old.err;

  RunResult again = hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", device_.root(), "Shutdown"}, "", 20s);
  EXPECT_EQ(again.exit_code, 0) << "nothing running";
}

TEST_F(ShellProcessTest, ASecondInstanceReplacesTheFirst) {
  auto first = Start();
  ASSERT_TRUE(WaitRunning(*first)) << first->Err();
  auto second = Start({"Shutdown", "extra"});  // no keyword: runs normally
  RunResult old;
  ASSERT_TRUE(first->Wait(20s, &old)) << "the first instance was closed";
  EXPECT_EQ(old.exit_code, 0);
  ASSERT_TRUE(WaitRunning(*second)) << second->Err();
  EXPECT_TRUE(second->Running());
}

TEST_F(ShellProcessTest, AppRunAfterRestoreClearsEverySyncState) {
  for (const char* c : {"24", "25", "26", "291", "5454"}) {
    Device({"reg", "set", std::string("SyncState_") + c, "1"});
  }
  Device({"reg", "set", "SyncTime_24", "777"});
  // Every class has a database, so that discovery keeps the states it finds.
  for (const char* type : {"24", "25", "26", "291"}) {
    ASSERT_EQ(Device({"db", "create", std::string("Db ") + type, "--type", type}).exit_code, 0);
  }
  ASSERT_EQ(Device({"db", "create", "pmailMsgs", "--type", "5454"}).exit_code, 0);
  auto server = Start({"AppRunAfterRestore"});
  ASSERT_TRUE(WaitRunning(*server)) << server->Err();
  for (const char* c : {"24", "25", "26", "291", "5454"}) {
    EXPECT_EQ(Reg(std::string("SyncState_") + c), "0") << c;
  }
  EXPECT_EQ(Reg("SyncTime_24"), "777");
}

// What a person types is answered plainly: the version, a usage error with
// the usage and status 2, a Port that is no port named before anything
// runs, and a misspelt keyword warned about (the system still runs, as the
// command line's rule says).
TEST_F(ShellProcessTest, TheCommandLineAndThePortAreToldPlainly) {
  RunResult version = hmtest::Run({HM_HOLLOWMARCH_PATH, "--version"});
  EXPECT_EQ(version.exit_code, 0) << version.err;
  EXPECT_EQ(version.out, std::string(HM_VERSION) + "\n");
  RunResult unknown = hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", device_.root(), "--bogus"});
  EXPECT_EQ(unknown.exit_code, 2);
  EXPECT_NE(unknown.err.find("hollowmarch: The following argument was not expected: --bogus\nusage: hollowmarch"),
            std::string::npos)
      << unknown.err;

  for (const char* port : {"0", "70000"}) {
    SCOPED_TRACE(port);
    ASSERT_EQ(Device({"reg", "set", "Port", port}).exit_code, 0);
    RunResult refused = hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", device_.root()}, "", 20s);
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_NE(refused.err.find(std::string("the registry value Port is ") + port + ", which is no port (1 to 65535)"),
              std::string::npos)
        << refused.err;
  }
  ASSERT_EQ(Device({"reg", "set", "Port", std::to_string(port_)}).exit_code, 0);

  auto server = Start({"Shutdwon"});
  ASSERT_TRUE(WaitRunning(*server)) << server->Err();
  EXPECT_TRUE(server->WaitForErr("hollowmarch: the command line \"Shutdwon\" is neither Shutdown nor "
                                 "AppRunAfterRestore; running the system",
                                 5s))
      << server->Err();
  RunResult shutdown = hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", device_.root(), "Shutdown"}, "", 20s);
  EXPECT_EQ(shutdown.exit_code, 0) << shutdown.err;
  EXPECT_EQ(shutdown.err.find("neither Shutdown"), std::string::npos) << "no warning for the keyword";
  ASSERT_TRUE(server->Wait(10s));
}

TEST_F(ShellProcessTest, APortInUseEndsTheProcessWithAFailure) {
  hmtest::TempDevice other(false);
  // A first server holds the port.
  std::vector<std::string> set = {HM_HMDEVICE_PATH, "--root", other.root(), "reg", "set", "Port", std::to_string(port_)};
  ASSERT_EQ(hmtest::Run(set).exit_code, 0);
  Process holder({HM_HOLLOWMARCH_PATH, "--root", other.root()});
  bool listening = false;
  for (int i = 0; i < 200 && !listening; ++i) {
    std::this_thread::sleep_for(20ms);
    listening = hmtest::Run({HM_HMDEVICE_PATH, "--root", other.root(), "send", "0x8004"}).out == "13\n";
  }
  ASSERT_TRUE(listening) << holder.Err();

  auto server = Start();
  RunResult r;
  ASSERT_TRUE(server->Wait(20s, &r));
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("port"), std::string::npos) << r.err;
  EXPECT_EQ(Send(0x8004), -1) << "no window left behind";
}

TEST_F(ShellProcessTest, LocalRequestsWalkTheChangeList) {
  ASSERT_EQ(Device({"db", "create", "Contacts", "--type", "24"}).exit_code, 0);
  auto server = Start();
  ASSERT_TRUE(WaitRunning(*server)) << server->Err();
  ASSERT_EQ(Send(0x800B, 24, 0), 1);  // SET_SYNC_STATE tracking
  EXPECT_EQ(Send(0x8001, 24), 0);
  std::vector<std::string> oids;
  for (int i = 0; i < 3; ++i) {
    RunResult add = Device({"rec", "add", "Contacts", "0x10003=" + std::to_string(i)});
    ASSERT_EQ(add.exit_code, 0) << add.err;
    oids.push_back(add.out.substr(0, add.out.find('\n')));
  }
  // Capture is asynchronous: wait until the list holds the three changes.
  std::vector<std::string> seen;
  for (int attempt = 0; attempt < 100 && seen.size() < 3; ++attempt) {
    seen.clear();
    EXPECT_EQ(Send(0x8005, 24), 1);
    for (long long h = Send(0x8006, 0, 0); h > 0; h = Send(0x8006, 1, 0)) {
      seen.push_back(std::to_string(Send(0x8008, h)));
      EXPECT_EQ(Send(0x8007, h), 0) << "Add";
    }
    long long stale = Send(0x8006, 0, 0);
    EXPECT_EQ(Send(0x800A, 24), 1);
    if (stale > 0) {
      EXPECT_EQ(Send(0x8008, stale), 0) << "stale handle";
    }
    if (seen.size() < 3) std::this_thread::sleep_for(20ms);
  }
  // Changes within one second have equal times and come in the order they
  // were recorded; the three may straddle a second, so compare as sets.
  std::sort(seen.begin(), seen.end());
  std::sort(oids.begin(), oids.end());
  EXPECT_EQ(seen, oids);
  EXPECT_EQ(Send(0x800D), 0) << "WM_APP+13 goes to the default procedure";
}

// A change made by another application reaches `hmdevice changes` with its
// type; while the peer has capture suspended, nothing is recorded.
TEST_F(ShellProcessTest, ChangesAppearInTheListUnlessCaptureIsSuspended) {
  ASSERT_EQ(Device({"db", "create", "Contacts", "--type", "24"}).exit_code, 0);
  auto server = Start();
  ASSERT_TRUE(WaitRunning(*server)) << server->Err();
  ASSERT_EQ(Send(0x800B, 24, 0), 1);

  auto changes = [&] {
    RunResult r = Device({"changes", "24", "--json"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.exit_code == 0 ? nlohmann::json::parse(r.out) : nlohmann::json::array();
  };
  auto wait_for = [&](size_t n) {
    nlohmann::json list;
    for (int i = 0; i < 100; ++i) {
      list = changes();
      if (list.size() >= n) break;
      std::this_thread::sleep_for(20ms);
    }
    return list;
  };

  RunResult add = Device({"rec", "add", "Contacts", "0x10003=1"});
  ASSERT_EQ(add.exit_code, 0);
  const std::string oid = add.out.substr(0, add.out.find('\n'));
  ASSERT_EQ(Device({"rec", "set", "Contacts", oid, "0x10003=2"}).exit_code, 0);
  nlohmann::json list = wait_for(1);
  ASSERT_EQ(list.size(), 1u) << list.dump() << " (add and modify of one record load as one)";
  EXPECT_EQ(list[0]["oid"], std::stoul(oid));
  EXPECT_EQ(list[0]["uid"], 0xFFFFFFFFu);

  peer::PeerClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(port_)));
  ASSERT_EQ(client.Hello(), 0xA0);
  ASSERT_TRUE(peer::SuspendCapture(client).ok());
  ASSERT_EQ(Device({"rec", "delete", "Contacts", oid}).exit_code, 0);
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(peer::ResumeCapture(client).ok());
  list = changes();
  ASSERT_EQ(list.size(), 1u) << list.dump();
  EXPECT_NE(list[0]["type"], "delete") << "the delete was not recorded";

  RunResult status = Device({"status", "--json"});
  ASSERT_EQ(status.exit_code, 0) << status.err;
  nlohmann::json st = nlohmann::json::parse(status.out);
  EXPECT_TRUE(st["running"]);
  EXPECT_EQ(st["classes"][0]["class"], 24);
  EXPECT_EQ(st["classes"][0]["state"], 1);
}

TEST_F(ShellProcessTest, AFullStoreLosesTheClassButKeepsServing) {
  ASSERT_EQ(Device({"db", "create", "Contacts", "--type", "24"}).exit_code, 0);
  RunResult add = Device({"rec", "add", "Contacts", "0x10003=2"});
  ASSERT_EQ(add.exit_code, 0) << add.err;
  auto server = Start();
  ASSERT_TRUE(WaitRunning(*server)) << server->Err();
  ASSERT_EQ(Send(0x800B, 24, 0), 1);
  // The store is over its capacity: a delete still goes through (it frees
  // space), but the change log cannot record it.
  ASSERT_EQ(Device({"config", "store-capacity", "1"}).exit_code, 0);
  RunResult del = Device({"rec", "delete", "Contacts", add.out.substr(0, add.out.find('\n'))});
  ASSERT_EQ(del.exit_code, 0) << del.err;
  EXPECT_TRUE(server->WaitForErr("Hollowmarch Replication Server: Unable to add change notification", 5s))
      << server->Err();
  EXPECT_EQ(Send(0x8001, 24), 2) << "lost";
  EXPECT_EQ(Send(0x8002, 24), 0);
  EXPECT_TRUE(server->Running());
  EXPECT_EQ(Send(0x8004), 13);
}

TEST_F(ShellProcessTest, AKilledTrackerKeepsItsLogOnlyAfterARecentReset) {
  struct Case {
    const char* name;
    bool reset;
    long long state;
  } cases[] = {{"late", false, 2}, {"reset", true, 0}};  // no reset before "late"
  ASSERT_EQ(Device({"db", "create", "Contacts", "--type", "24"}).exit_code, 0);
  for (const Case& c : cases) {
    auto server = Start();
    ASSERT_TRUE(WaitRunning(*server)) << c.name << server->Err();
    // Tracking set locally takes the current second as its sync time.
    ASSERT_EQ(Send(0x800B, 24, 0), 1) << c.name;
    const long long syncTime = Send(0x8002, 24);
    ASSERT_GT(syncTime, 1000) << c.name;
    server->Signal(SIGKILL);
    server->Wait(10s);
    if (c.reset) {
      ASSERT_EQ(Device({"reset"}).exit_code, 0);
    }
    auto next = Start();
    ASSERT_TRUE(WaitRunning(*next)) << c.name << next->Err();
    EXPECT_EQ(Send(0x8001, 24), c.state) << c.name;
    EXPECT_EQ(Send(0x8002, 24), c.reset ? syncTime : 0) << c.name;
    next->Signal(SIGKILL);
    next->Wait(10s);
  }
}

}  // namespace
