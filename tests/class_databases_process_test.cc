// A class with two databases, end to end through the real program: changes
// made by another process in either database reach the local change list
// and the peer's change stream, each with its own database's identifier, and
// closing the program deletes both logs.
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "nlohmann/json.hpp"
#include "peer/device_requests.h"
#include "peer/peer_client.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

#if defined(HM_HOLLOWMARCH_PATH) && defined(HM_HMDEVICE_PATH)

using namespace std::chrono_literals;

class ClassDatabasesProcessTest : public ::testing::Test {
 protected:
  ClassDatabasesProcessTest() : device_(false), port_(hmtest::FreePort()) {
    Device({"reg", "set", "Port", std::to_string(port_)});
  }

  // hmdevice's output; the test fails when it does.
  std::string Device(std::vector<std::string> args) {
    args.insert(args.begin(), {HM_HMDEVICE_PATH, "--root", device_.root()});
    hmtest::RunResult r = hmtest::Run(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out.substr(0, r.out.find('\n'));
  }

  long long Send(unsigned message, long long wparam = 0, long long lparam = 0) {
    std::vector<std::string> argv = {HM_HMDEVICE_PATH, "--root", device_.root(), "send",
                                     std::to_string(message), std::to_string(wparam),
                                     std::to_string(lparam)};
    hmtest::RunResult r = hmtest::Run(argv);
    return r.exit_code == 0 ? std::stoll(r.out) : -1;
  }

  std::vector<std::string> DatabaseNames() {
    hmtest::RunResult r = hmtest::Run({HM_HMDEVICE_PATH, "--root", device_.root(), "db",
                                       "list", "--json"});
    std::vector<std::string> names;
    for (const auto& db : nlohmann::json::parse(r.out)) names.push_back(db["name"]);
    return names;
  }

  // The record oids of the local change list of class 24, as a client walks
  // it.
  std::vector<uint32_t> LocalChangeList() {
    std::vector<uint32_t> oids;
    if (Send(0x8005, 24) != 1) return oids;
    for (long long h = Send(0x8006, 0, 0); h > 0; h = Send(0x8006, 1, 0)) {
      oids.push_back(static_cast<uint32_t>(Send(0x8008, h)));
    }
    Send(0x800A, 24);
    std::sort(oids.begin(), oids.end());
    return oids;
  }

  hmtest::TempDevice device_;
  int port_;
};

TEST_F(ClassDatabasesProcessTest, ChangesOfEitherDatabaseReachEveryReader) {
  const uint32_t contacts = std::stoul(Device({"db", "create", "Contacts", "--type", "24"}));
  const uint32_t archive = std::stoul(Device({"db", "create", "Old contacts", "--type", "24"}));
  hmtest::Process server({HM_HOLLOWMARCH_PATH, "--root", device_.root()});
  bool running = false;
  for (int i = 0; i < 500 && !running; ++i) {
    running = Send(0x8004) == 13;
    if (!running) std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(running) << server.Err();

  peer::PeerClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(port_)));
  ASSERT_EQ(client.Hello(), 0xA0);
  uint32_t deviceTime = 0;
  ASSERT_TRUE(peer::EnableClass(client, peer::kClassIndexContacts, &deviceTime).ok());

  const uint32_t a = std::stoul(Device({"rec", "add", "Contacts", "0x10013=1"}));
  const uint32_t b = std::stoul(Device({"rec", "add", "Old contacts", "0x10013=2"}));
  std::vector<uint32_t> want = {a, b};
  std::sort(want.begin(), want.end());

  // Capture is asynchronous: wait until the local list holds both changes.
  std::vector<uint32_t> local;
  for (int i = 0; i < 100 && local != want; ++i) {
    local = LocalChangeList();
    if (local != want) std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(local, want);

  std::vector<peer::ChangeRecord> changes;
  ASSERT_TRUE(peer::ReadChanges(client, peer::kClassIndexContacts, 0, &changes).ok());
  std::vector<std::pair<uint32_t, uint32_t>> streamed;  // (database, record)
  for (const peer::ChangeRecord& c : changes) {
    EXPECT_EQ(c.type, 0) << "Add";
    streamed.emplace_back(c.oidDb, c.oidRec);
  }
  std::sort(streamed.begin(), streamed.end());
  EXPECT_EQ(streamed, (std::vector<std::pair<uint32_t, uint32_t>>{{contacts, a}, {archive, b}}));
  ASSERT_TRUE(peer::FlushChanges(client).ok());
  client.Close();

  // Each database had a log of its own; closing the program deletes both.
  auto logs = [&] {
    int n = 0;
    for (const std::string& name : DatabaseNames()) {
      if (name.find("Hollowmarch") != std::string::npos) ++n;
    }
    return n;
  };
  EXPECT_EQ(logs(), 2);
  hmtest::RunResult shutdown =
      hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", device_.root(), "Shutdown"}, "", 20s);
  EXPECT_EQ(shutdown.exit_code, 0) << shutdown.err;
  EXPECT_EQ(logs(), 0);
}

#else

TEST(ClassDatabasesProcessTest, NeedsThePrograms) { GTEST_SKIP() << "programs not built"; }

#endif

}  // namespace
