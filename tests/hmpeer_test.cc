// hmpeer against the real server on a temporary device.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "hm_version.h"
#include "nlohmann/json.hpp"
#include "peer/mirror.h"
#include "peer/peer_client.h"
#include "peer/frame.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

using namespace std::chrono_literals;
using hmtest::RunResult;
using nlohmann::json;

class HmpeerTest : public ::testing::Test {
 protected:
  HmpeerTest() : device_(false), port_(hmtest::FreePort()) {
    Device({"init", "--demo"});
    Device({"reg", "set", "Port", std::to_string(port_)});
  }

  RunResult Device(std::vector<std::string> args) {
    std::vector<std::string> argv = {HM_HMDEVICE_PATH, "--root", device_.root()};
    argv.insert(argv.end(), args.begin(), args.end());
    return hmtest::Run(argv);
  }

  RunResult Peer(std::vector<std::string> args) {
    std::vector<std::string> argv = {HM_HMPEER_PATH, "--port", std::to_string(port_)};
    argv.insert(argv.end(), args.begin(), args.end());
    return hmtest::Run(argv);
  }

  void StartServer() {
    server_ = std::make_unique<hmtest::Process>(
        std::vector<std::string>{HM_HOLLOWMARCH_PATH, "--root", device_.root()});
    for (int i = 0; i < 250; ++i) {
      if (Peer({"hello"}).exit_code == 0) return;
      std::this_thread::sleep_for(20ms);
    }
    FAIL() << "the server did not start: " << server_->Err();
  }

  json Sync(const std::string& dir) {
    RunResult r = Peer({"--json", "sync", "--to", dir});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    return r.exit_code == 0 ? json::parse(r.out) : json::array();
  }

  static json Records(const std::string& dir, int dataClass) {
    peer::Mirror mirror;
    std::string error;
    EXPECT_TRUE(mirror.Open(dir, &error)) << error;
    return mirror.Records(static_cast<uint32_t>(dataClass));
  }

  // Waits until the change of a device write has been captured.
  void Settle() { std::this_thread::sleep_for(300ms); }

  hmtest::TempDevice device_;
  int port_;
  std::unique_ptr<hmtest::Process> server_;
};

// The mirror after a fast sync equals the mirror after a slow sync of the
// same device: after adds, modifies and deletes, and after a restart of the
// server (which loses the logs and forces a slow sync).
TEST_F(HmpeerTest, AFastSyncMirrorsWhatASlowSyncDoes) {
  StartServer();
  hmtest::TempDir desk;
  json first = Sync(desk.path());
  ASSERT_EQ(first.size(), 5u);
  for (const json& c : first) EXPECT_EQ(c["kind"], "slow") << c.dump();

  RunResult add = Device({"rec", "add", "Demo Contacts", "0x1001F=Ada"});
  ASSERT_EQ(add.exit_code, 0);
  const std::string added = add.out.substr(0, add.out.find('\n'));
  RunResult list = Device({"rec", "list", "Demo Tasks", "--json"});
  json tasks = json::parse(list.out);
  ASSERT_GE(tasks.size(), 2u);
  ASSERT_EQ(Device({"rec", "set", "Demo Tasks", std::to_string(tasks[0]["oid"].get<long>()), "0x1001F=Done"}).exit_code, 0);
  ASSERT_EQ(Device({"rec", "delete", "Demo Tasks", std::to_string(tasks[1]["oid"].get<long>())}).exit_code, 0);
  Settle();

  json second = Sync(desk.path());
  ASSERT_EQ(second.size(), 5u);
  EXPECT_EQ(second[0]["kind"], "fast");
  EXPECT_EQ(second[0]["moved"], 1);
  EXPECT_EQ(second[2]["kind"], "fast");
  EXPECT_EQ(second[2]["moved"], 2);

  hmtest::TempDir fresh;
  Sync(fresh.path());
  for (int c : {24, 25, 26, 291, 5454}) {
    EXPECT_EQ(Records(desk.path(), c), Records(fresh.path(), c)) << "class " << c;
  }

  // A restart loses the logs: every tracked class syncs slowly, and still
  // ends where a fresh slow sync does.
  hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", device_.root(), "Shutdown"});
  server_->Wait(10s);
  ASSERT_EQ(Device({"rec", "delete", "Demo Contacts", added}).exit_code, 0);
  StartServer();
  json third = Sync(desk.path());
  ASSERT_EQ(third.size(), 5u);
  EXPECT_EQ(third[0]["kind"], "slow");
  hmtest::TempDir after;
  Sync(after.path());
  EXPECT_EQ(Records(desk.path(), 24), Records(after.path(), 24));
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 01000;  // no file: matches no mode
  return st.st_mode & 07777;
}

// The desktop's copy holds contacts and mail: what the sync makes is the
// owner's only under a common umask, and a folder that cannot hold the
// mirror fails the command before any class is asked for.
TEST_F(HmpeerTest, TheMirrorIsPrivateAndAFolderThatCannotHoldItFailsFirst) {
  StartServer();
  hmtest::TempDir desk;
  const mode_t saved = umask(022);
  const std::string dir = desk.path() + "/new/mirror";
  RunResult made = Peer({"sync", "--to", dir, "--class", "24"});
  EXPECT_EQ(made.exit_code, 0) << made.err;
  for (const std::string& folder : {desk.path() + "/new", dir}) EXPECT_EQ(ModeOf(folder), 0700u) << folder;
  for (const char* file : {"/mirror.db", "/mirror.db-wal", "/mirror.db-shm"}) {
    if (std::filesystem::exists(dir + file)) {
      EXPECT_EQ(ModeOf(dir + file), 0600u) << file;
    }
  }
  EXPECT_EQ(ModeOf(dir + "/mirror.db"), 0600u);

  const std::string file = desk.path() + "/passwd";
  std::ofstream(file) << "root:x:0:0\n";
  const std::string open_dir = desk.path() + "/shared";
  ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
  ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
  struct Case {
    std::string to;
    std::string says;
  } cases[] = {
      {"", "hmpeer: --to is empty"},
      {file, "hmpeer: cannot open the mirror: " + file + " is not a directory"},
      {open_dir, "chmod 700 '" + open_dir + "'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    RunResult r = Peer({"sync", "--to", c.to});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("class"), std::string::npos) << r.out;
  }
  EXPECT_EQ(ModeOf(open_dir), 0777u) << "a folder that was there is left as it was";
  EXPECT_FALSE(std::filesystem::exists(open_dir + "/mirror.db"));
  umask(saved);
}

// What hmpeer says is plain: a failure with --json is a JSON object with an
// error (never an empty result), a missing database is named, ports are
// checked by name, host names are taken, and the commands whose effect is
// not what "done" suggests say what it is.
TEST_F(HmpeerTest, FailuresAndResultsAreToldPlainly) {
  StartServer();
  RunResult dump = Peer({"--json", "dump", "Nope"});
  EXPECT_EQ(dump.exit_code, 1);
  json error = json::parse(dump.out, nullptr, false);
  ASSERT_TRUE(error.is_object()) << dump.out;
  EXPECT_EQ(error["status"], 1);
  EXPECT_NE(error["error"].get<std::string>().find("Nope"), std::string::npos) << dump.out;
  EXPECT_EQ(error.value("records", json::array()).size(), 0u) << "no record passes for the database";

  struct Case {
    std::vector<std::string> args;
    int exit_code;
    const char* out;  // in standard output, or "" for nothing to look for
    const char* err;  // in standard error, or ""
  } cases[] = {
      {{"hello", "--port", "0"}, 2, "", "--port: Value 0 not in range 1 to 65535"},
      {{"--json", "hello", "--port", "70000"}, 2, "{\"error\":\"--port: Value 70000", ""},
      {{"--json", "frobnicate"}, 2, "{\"error\":", ""},
      {{"--host", "localhost", "hello"}, 0, "hello accepted", ""},
      {{"suspend"}, 0, "suspend done: the device drops changes until this session ends", ""},
      {{"resume"}, 0, "until this session ends", ""},
      {{"alarm", "clear", "5"}, 0, "the device does not tell whether it did", ""},
  };
  for (const Case& c : cases) {
    std::string name;
    for (const std::string& a : c.args) name += a + " ";
    SCOPED_TRACE(name);
    std::vector<std::string> argv = {HM_HMPEER_PATH};
    if (std::find(c.args.begin(), c.args.end(), "--port") == c.args.end()) {
      argv.insert(argv.end(), {"--port", std::to_string(port_)});
    }
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    RunResult r = hmtest::Run(argv);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }

  // A docked peer holds the one connection: the next is told why it gets no
  // reply.
  peer::PeerClient docked;
  std::string why;
  ASSERT_TRUE(docked.Connect("127.0.0.1", static_cast<uint16_t>(port_), peer::PeerClient::Millis(5000), &why))
      << why;
  ASSERT_EQ(docked.Hello(), peer::kStatusOk);
  RunResult second = Peer({"--timeout", "1", "hello"});
  EXPECT_EQ(second.exit_code, 3);
  EXPECT_NE(second.err.find("the device serves one peer at a time, and another one is most likely connected"),
            std::string::npos)
      << second.err;

  // hmdevice status shows where the server listens and the peer it serves.
  auto status = [&] { return json::parse(Device({"status", "--json"}).out); };
  json docked_status = status();
  EXPECT_EQ(docked_status["listen"], "0.0.0.0:" + std::to_string(port_)) << docked_status;
  EXPECT_TRUE(docked_status["peer"].is_string()) << docked_status;
  RunResult text = Device({"status"});
  EXPECT_NE(text.out.find("connected (the device serves one peer at a time)"), std::string::npos) << text.out;
  docked.Close();
  bool freed = false;
  for (int i = 0; i < 500 && !freed; ++i) {
    freed = status()["peer"].is_null();
    if (!freed) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(freed) << "the peer's end shows";
}

// The device's tools and the desktop's show the same change alike: its type
// as a word, its time as an ISO date, the record after "rec"; the status
// names a state under both of its numberings.
TEST_F(HmpeerTest, BothToolsShowAChangeAndAStateAlike) {
  StartServer();
  ASSERT_EQ(Peer({"enable", "24"}).exit_code, 0);
  RunResult add = Device({"rec", "add", "Demo Contacts", "0x1001F=Ada", "0x10003=-7"});
  ASSERT_EQ(add.exit_code, 0);
  const std::string oid = add.out.substr(0, add.out.find('\n'));
  Settle();
  // hmpeer --json dump gives numbers as numbers, as rec list --json does.
  bool found = false;
  const json dump = json::parse(Peer({"--json", "dump", "Demo Contacts"}).out);
  for (const json& record : dump["records"]) {
    if (std::to_string(record["oid"].get<long long>()) != oid) continue;
    for (const json& p : record["props"]) {
      if (p["id"] == 0x10003) found = p["value"] == -7;
    }
  }
  EXPECT_TRUE(found) << "the I4 property as the number -7";
  const std::regex iso("^add \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ ");
  for (const RunResult& r : {Device({"changes", "24"}), Peer({"changes", "24"})}) {
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, iso)) << r.out;
    EXPECT_NE(r.out.find(" rec " + oid + " uid 0xffffffff"), std::string::npos) << r.out;
  }
  RunResult status = Device({"status"});
  EXPECT_NE(status.out.find("class 24: tracking (registry 1, local request 0), sync time 20"), std::string::npos)
      << status.out;
  json classes = json::parse(Device({"status", "--json"}).out)["classes"];
  EXPECT_EQ(classes[0]["localState"], 0);
  EXPECT_TRUE(classes[0]["syncTimeText"].is_string()) << classes[0];
}

// Many changes spread over a database larger than a read batch: records
// changed once or twice, changed and then deleted, deleted, and added, with
// unchanged records between them in every batch.
TEST_F(HmpeerTest, AFastSyncOfScatteredChangesMirrorsASlowSync) {
  std::string lines;
  for (int i = 0; i < 300; ++i) {
    lines += "{\"props\":[{\"id\":65567,\"value\":\"Contact " + std::to_string(i) + "\"}]}\n";
  }
  std::vector<std::string> argv = {HM_HMDEVICE_PATH, "--root", device_.root(), "rec", "import",
                                   "Demo Contacts"};
  ASSERT_EQ(hmtest::Run(argv, lines).exit_code, 0);
  StartServer();
  hmtest::TempDir desk;
  Sync(desk.path());
  json contacts = json::parse(Device({"rec", "list", "Demo Contacts", "--json"}).out);
  ASSERT_GE(contacts.size(), 300u);
  auto oid = [&](size_t i) { return std::to_string(contacts[i]["oid"].get<long>()); };
  for (size_t i = 1; i < contacts.size(); i += 13) {
    ASSERT_EQ(Device({"rec", "set", "Demo Contacts", oid(i), "0x1001F=changed"}).exit_code, 0);
  }
  ASSERT_EQ(Device({"rec", "set", "Demo Contacts", oid(14), "0x1001F=twice"}).exit_code, 0);
  ASSERT_EQ(Device({"rec", "delete", "Demo Contacts", oid(27)}).exit_code, 0);  // changed, then gone
  ASSERT_EQ(Device({"rec", "delete", "Demo Contacts", oid(100)}).exit_code, 0);
  ASSERT_EQ(Device({"rec", "add", "Demo Contacts", "0x1001F=new"}).exit_code, 0);
  Settle();

  json fast = Sync(desk.path());
  ASSERT_FALSE(fast.empty());
  EXPECT_EQ(fast[0]["kind"], "fast");
  const size_t changed = (contacts.size() - 1 + 12) / 13;
  EXPECT_EQ(fast[0]["moved"], changed + 2) << "each changed record once, plus one deleted and one added";
  hmtest::TempDir fresh;
  Sync(fresh.path());
  EXPECT_EQ(Records(desk.path(), 24), Records(fresh.path(), 24));
}

// A sync that cannot read the whole of a class commits nothing of it: a
// slow sync whose database is missing, a fast sync whose changes come from
// a database the mirror does not hold. The other classes sync all the same,
// and the exit status says that a class failed.
TEST_F(HmpeerTest, AClassIsNeverCommittedInPart) {
  ASSERT_EQ(Device({"db", "create", "More Contacts", "--type", "24"}).exit_code, 0);
  RunResult more = Device({"rec", "add", "More Contacts", "0x1001F=Grace"});
  ASSERT_EQ(more.exit_code, 0);
  const std::string more_oid = json::parse(Device({"db", "list", "--json", "--type", "24"}).out)[1]["oid"].dump();
  StartServer();
  hmtest::TempDir desk;
  const json first = Sync(desk.path());  // class 24 from Demo Contacts alone
  const json contacts = Records(desk.path(), 24);
  ASSERT_EQ(contacts.size(), 3u);

  // Slow: one of the class's databases is not on the device.
  RunResult missing = Peer({"--json", "sync", "--to", desk.path(), "--db", "24=Demo Contacts", "--db", "24=Gone"});
  EXPECT_EQ(missing.exit_code, 1) << missing.err;
  json results = json::parse(missing.out);
  ASSERT_EQ(results.size(), 5u) << "the other classes were synced";
  EXPECT_EQ(results[0]["kind"], "slow");
  EXPECT_NE(results[0]["error"].get<std::string>().find("database \"Gone\": not on the device"), std::string::npos)
      << results[0];
  for (size_t i = 1; i < 5; ++i) EXPECT_EQ(results[i]["error"], "") << results[i];
  EXPECT_EQ(Records(desk.path(), 24), contacts);
  EXPECT_EQ(results[0]["anchor"], first[0]["anchor"]);

  // Fast: a change in a database the mirror does not hold.
  ASSERT_EQ(Device({"rec", "set", "More Contacts", more.out.substr(0, more.out.find('\n')), "0x1001F=Ada"}).exit_code,
            0);
  Settle();
  RunResult unknown = Peer({"--json", "sync", "--to", desk.path()});
  EXPECT_EQ(unknown.exit_code, 1) << unknown.err;
  results = json::parse(unknown.out);
  ASSERT_EQ(results.size(), 5u);
  EXPECT_EQ(results[0]["kind"], "fast");
  EXPECT_NE(results[0]["error"].get<std::string>().find("database @" + more_oid + ", which the mirror of class 24 "
                                                        "does not hold (it holds Demo Contacts)"),
            std::string::npos)
      << results[0];
  EXPECT_EQ(results[0]["anchor"], first[0]["anchor"]);
  EXPECT_EQ(Records(desk.path(), 24), contacts);

  // Naming both databases takes the class in whole: slow, since the mirror
  // held fewer, then fast.
  const std::vector<std::string> both = {"--db", "24=Demo Contacts", "--db", "24=@" + more_oid};
  std::vector<std::string> args = {"--json", "sync", "--to", desk.path(), "--class", "24"};
  args.insert(args.end(), both.begin(), both.end());
  RunResult whole = Peer(args);
  ASSERT_EQ(whole.exit_code, 0) << whole.err << whole.out;
  results = json::parse(whole.out);
  EXPECT_EQ(results[0]["kind"], "slow");
  EXPECT_EQ(results[0]["mirrored"], 4);
  ASSERT_EQ(Device({"rec", "add", "More Contacts", "0x1001F=Hedy"}).exit_code, 0);
  Settle();
  results = json::parse(Peer(args).out);
  EXPECT_EQ(results[0]["kind"], "fast");
  EXPECT_EQ(results[0]["mirrored"], 5);
  hmtest::TempDir fresh;
  args[3] = fresh.path();
  ASSERT_EQ(Peer(args).exit_code, 0);
  EXPECT_EQ(Records(desk.path(), 24), Records(fresh.path(), 24));
}

// A watching sync (hmpeer sync --watch) as the test sees it: its rounds so
// far, from its JSON lines.
std::vector<json> Rounds(const hmtest::Process& watch) {
  std::vector<json> rounds;
  std::istringstream lines(watch.Out());
  for (std::string line; std::getline(lines, line);) {
    if (json::accept(line)) rounds.push_back(json::parse(line));
  }
  return rounds;
}

// Waits for a round after round `after` whose class 24 passes `test`.
json WaitForRound(const hmtest::Process& watch, int after, const std::function<bool(const json&)>& test) {
  for (int i = 0; i < 1000; ++i) {
    for (const json& round : Rounds(watch)) {
      if (round["round"].get<int>() > after && test(round["classes"][0])) return round;
    }
    std::this_thread::sleep_for(20ms);
  }
  ADD_FAILURE() << "no such round: " << watch.Out() << watch.Err().substr(0, 2000);
  return json{{"round", after}, {"classes", json::array({json::object()})}};
}

size_t Hellos(const hmtest::Process& watch) {
  size_t n = 0;
  const std::string err = watch.Err();
  for (size_t at = 0; (at = err.find(">> 23 bytes (type 0x80", at)) != std::string::npos; ++at) ++n;
  return n;
}

// A docked desktop: one connection for round after round, fast where the
// log allows; a server restart between rounds costs a new connection and a
// slow round; SIGTERM ends it with status 0.
TEST_F(HmpeerTest, AWatchingSyncKeepsItsConnectionAndFollowsTheDevice) {
  StartServer();
  hmtest::TempDir desk;
  hmtest::Process watch({HM_HMPEER_PATH, "sync", "--to", desk.path(), "--watch", "0.3", "--port",
                         std::to_string(port_), "--json", "--trace"});
  json round = WaitForRound(watch, 0, [](const json& c) { return c["kind"] == "slow"; });
  ASSERT_EQ(round["round"], 1);
  for (const json& c : round["classes"]) EXPECT_EQ(c["error"], "") << c;

  RunResult added = Device({"rec", "add", "Demo Contacts", "0x1001F=Ada"});
  ASSERT_EQ(added.exit_code, 0);
  round = WaitForRound(watch, 1, [](const json& c) { return c["kind"] == "fast" && c["mirrored"] == 4; });
  EXPECT_GE(round["classes"][0]["moved"].get<int>(), 1);
  EXPECT_EQ(Hellos(watch), 1u) << "one connection for every round";

  // The server goes away and comes back with its logs gone.
  hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", device_.root(), "Shutdown"});
  ASSERT_TRUE(server_->Wait(10s));
  ASSERT_EQ(Device({"rec", "delete", "Demo Contacts", added.out.substr(0, added.out.find('\n'))}).exit_code, 0);
  server_ = std::make_unique<hmtest::Process>(
      std::vector<std::string>{HM_HOLLOWMARCH_PATH, "--root", device_.root()});
  const int before = round["round"].get<int>();
  round = WaitForRound(watch, before, [](const json& c) { return c["kind"] == "slow" && c["error"] == ""; });
  EXPECT_EQ(round["classes"][0]["mirrored"], 3);
  EXPECT_EQ(Hellos(watch), 2u);

  watch.Signal(SIGTERM);
  RunResult ended;
  ASSERT_TRUE(watch.Wait(10s, &ended));
  EXPECT_EQ(ended.exit_code, 0) << ended.err.substr(ended.err.size() - std::min<size_t>(ended.err.size(), 2000));
  hmtest::TempDir fresh;
  Sync(fresh.path());
  for (int c : {24, 25, 26, 291, 5454}) EXPECT_EQ(Records(desk.path(), c), Records(fresh.path(), c)) << c;
}

// A signal in the middle of a round ends the watch only after that round
// has committed every class.
TEST_F(HmpeerTest, ASignalEndsAWatchAfterTheRoundUnderWay) {
  std::string lines;
  for (int i = 0; i < 10000; ++i) {
    lines += "{\"props\":[{\"id\":65567,\"value\":\"Contact " + std::to_string(i) + "\"}]}\n";
  }
  ASSERT_EQ(hmtest::Run({HM_HMDEVICE_PATH, "--root", device_.root(), "rec", "import", "Demo Contacts"}, lines)
                .exit_code,
            0);
  StartServer();
  hmtest::TempDir desk;
  hmtest::Process watch({HM_HMPEER_PATH, "--port", std::to_string(port_), "--json", "--trace", "sync", "--to",
                         desk.path(), "--watch", "60"});
  ASSERT_TRUE(watch.WaitForErr("read records", 30s));
  watch.Signal(SIGTERM);
  const size_t traced = watch.Err().size();
  RunResult ended;
  ASSERT_TRUE(watch.Wait(30s, &ended));
  EXPECT_EQ(ended.exit_code, 0);
  EXPECT_NE(watch.Err().find("query 4", traced), std::string::npos) << "the round went on after the signal";
  const std::vector<json> rounds = Rounds(watch);
  ASSERT_EQ(rounds.size(), 1u) << ended.out;
  ASSERT_EQ(rounds[0]["classes"].size(), 5u);
  peer::Mirror mirror;
  std::string error;
  ASSERT_TRUE(mirror.Open(desk.path(), &error)) << error;
  for (const json& c : rounds[0]["classes"]) {
    EXPECT_EQ(c["error"], "") << c;
    EXPECT_EQ(mirror.Anchor(c["class"].get<uint32_t>()), c["anchor"].get<uint32_t>()) << c;
  }
  EXPECT_EQ(mirror.Count(24), 10003u);
}

TEST_F(HmpeerTest, CommandsAnswerInTextAndJson) {
  StartServer();
  RunResult enable = Peer({"--json", "enable", "24"});
  ASSERT_EQ(enable.exit_code, 0) << enable.err;
  EXPECT_GT(json::parse(enable.out)["deviceTime"].get<long>(), 0);

  RunResult state = Peer({"--json", "state", "24", "--since", "2030-01-01T00:00:00"});
  ASSERT_EQ(state.exit_code, 0) << state.err;
  EXPECT_EQ(json::parse(state.out)["answer"], 0) << "complete";

  ASSERT_EQ(Device({"rec", "add", "Demo Contacts", "0x1001F=Ada"}).exit_code, 0);
  Settle();
  RunResult changes = Peer({"--json", "changes", "24"});
  ASSERT_EQ(changes.exit_code, 0) << changes.err;
  json list = json::parse(changes.out);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["type"], "add");
  EXPECT_EQ(list[0]["typeCode"], 0);

  RunResult dump = Peer({"--json", "dump", "Demo Contacts"});
  ASSERT_EQ(dump.exit_code, 0) << dump.err;
  EXPECT_EQ(json::parse(dump.out)["records"].size(), 4u);

  RunResult free = Peer({"--json", "free", "2"});
  ASSERT_EQ(free.exit_code, 0) << free.err;
  EXPECT_TRUE(json::parse(free.out).contains("total"));

  RunResult alarm = Peer({"--json", "alarm", "set", "--at", "2027-01-01T10:00:00"});
  ASSERT_EQ(alarm.exit_code, 0) << alarm.err;
  EXPECT_NE(json::parse(alarm.out)["handle"], 0);
  RunResult listed = Device({"notifications", "--json"});
  EXPECT_NE(listed.out.find("CALENDAR.EXE"), std::string::npos) << listed.out;
  RunResult unknown = Peer({"alarm", "set", "--handle", "4242", "--at", "2027-01-01T10:00:00"});
  EXPECT_EQ(unknown.exit_code, 1) << "no notification 4242 to change: " << unknown.out;
  EXPECT_NE(unknown.err.find("did not set the notification"), std::string::npos) << unknown.err;

  RunResult traced = Peer({"--trace", "hello"});
  ASSERT_EQ(traced.exit_code, 0);
  EXPECT_NE(traced.err.find(">> 23 bytes (type 0x80, length 23)"), std::string::npos) << traced.err;
  EXPECT_NE(traced.err.find("<< 11 bytes (type 0xA0, length 11)"), std::string::npos) << traced.err;

  EXPECT_EQ(Peer({"state", "7"}).exit_code, 2) << "not a class";
  EXPECT_NE(Peer({"dump", "No Such Database"}).exit_code, 0);
}

// A record too large for one read batch looks like the end of the
// database; the dump must not stop there silently.
TEST_F(HmpeerTest, ARecordTooLargeToTransferIsReportedNotSkipped) {
  ASSERT_EQ(Device({"db", "create", "Big", "--type", "24"}).exit_code, 0);
  ASSERT_EQ(Device({"rec", "add", "Big", "0x10003=1"}).exit_code, 0);
  RunResult big = Device({"rec", "add", "Big", "0x20041=" + std::string(6000, 'a')});
  ASSERT_EQ(big.exit_code, 0) << big.err;
  ASSERT_EQ(Device({"rec", "add", "Big", "0x10003=3"}).exit_code, 0);
  StartServer();
  RunResult dump = Peer({"--json", "dump", "Big"});
  EXPECT_EQ(dump.exit_code, 1);
  EXPECT_NE(dump.err.find("record " + big.out.substr(0, big.out.find('\n')) + " "), std::string::npos)
      << dump.err;
  const json streamed = json::parse(dump.out);  // one object, written as the records came
  EXPECT_EQ(streamed["records"].size(), 1u) << "the records before it";
  EXPECT_NE(streamed["error"].get<std::string>().find("too large"), std::string::npos) << dump.out;
  EXPECT_EQ(streamed["status"], 1);
}

// The global options are taken before and after the command alike.
TEST_F(HmpeerTest, GlobalOptionsWorkBeforeAndAfterTheCommand) {
  StartServer();
  const std::string port = std::to_string(port_);
  const std::vector<std::vector<std::string>> cases = {
      {"--json", "--port", port, "state", "24"},
      {"state", "24", "--json", "--port", port},
      {"--port", port, "state", "24", "--since", "0", "--json", "--timeout", "2"},
      {"state", "--json", "24", "--host", "127.0.0.1", "--port", port, "--trace"},
      {"alarm", "set", "--at", "2031-01-01T00:00:00", "--port", port, "--json"},
      {"--port", port, "free", "2", "--json"},
  };
  for (const auto& args : cases) {
    std::string name;
    for (const std::string& a : args) name += a + " ";
    SCOPED_TRACE(name);
    std::vector<std::string> argv = {HM_HMPEER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = hmtest::Run(argv);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(json::accept(r.out)) << r.out;
    const bool traced = std::find(args.begin(), args.end(), "--trace") != args.end();
    EXPECT_EQ(r.err.find(">> "), traced ? 0u : std::string::npos) << r.err;
  }
  RunResult unknown = Peer({"state", "24", "--jsn"});
  EXPECT_EQ(unknown.exit_code, 2) << unknown.err;
}

TEST(HmpeerVersionTest, BothProgramsTellTheProjectVersion) {
  for (const char* program : {HM_HMPEER_PATH, HM_HMDEVICE_PATH}) {
    SCOPED_TRACE(program);
    RunResult r = hmtest::Run({program, "--version"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, std::string(HM_VERSION) + "\n");
  }
}

// --at is UTC: the notification gets the device's local time for it by the
// device's own zone, in and out of daylight time, north and south; --local
// takes the time as device time already.
TEST_F(HmpeerTest, AlarmTimesAreTurnedIntoTheDevicesLocalTime) {
  StartServer();
  struct Case {
    const char* zone;
    std::vector<std::string> at;
    const char* local;
  } cases[] = {
      {"America/New_York", {"--at", "2030-01-01T10:00:00"}, "2030-01-01T05:00:00.000"},
      {"America/New_York", {"--at", "2030-07-01T10:00:00"}, "2030-07-01T06:00:00.000"},
      {"America/New_York", {"--at", "2030-03-10T07:00:00"}, "2030-03-10T03:00:00.000"},
      {"America/New_York", {"--at", "1893492000"}, "2030-01-01T05:00:00.000"},
      {"America/New_York", {"--at", "2030-01-01T10:00:00", "--local"}, "2030-01-01T10:00:00.000"},
      {"Australia/Sydney", {"--at", "2030-01-01T10:00:00"}, "2030-01-01T21:00:00.000"},
      {"Australia/Sydney", {"--at", "2030-07-01T10:00:00"}, "2030-07-01T20:00:00.000"},
      {"Australia/Sydney", {"--at", "2030-04-06T16:00:00"}, "2030-04-07T02:00:00.000"},
      {"Australia/Sydney", {"--local", "--at", "2030-07-01T10:00:00"}, "2030-07-01T10:00:00.000"},
  };
  for (const Case& c : cases) {
    std::string name = std::string(c.zone);
    for (const std::string& a : c.at) name += " " + a;
    SCOPED_TRACE(name);
    ASSERT_EQ(Device({"config", "timezone", c.zone}).exit_code, 0);
    std::vector<std::string> args = {"--json", "alarm", "set"};
    args.insert(args.end(), c.at.begin(), c.at.end());
    RunResult set = Peer(args);
    ASSERT_EQ(set.exit_code, 0) << set.err;
    const json reply = json::parse(set.out);
    EXPECT_EQ(reply["localTime"].get<std::string>() + ".000", c.local);
    bool found = false;
    for (const json& n : json::parse(Device({"notifications", "--json"}).out)) {
      if (n["handle"] != reply["handle"]) continue;
      found = true;
      EXPECT_EQ(n["time"], c.local);
    }
    EXPECT_TRUE(found) << "handle " << reply["handle"];
  }
}

// An alarm's strings travel in the device's code page: what it holds
// arrives as written, and a character it cannot hold is refused by name,
// with nothing set.
TEST_F(HmpeerTest, AlarmStringsTravelInTheDevicesCodePage) {
  StartServer();
  RunResult set = Peer({"alarm", "set", "--at", "2031-01-01T00:00:00", "--title", "Café €5", "--text",
                        "Œuvre – ready", "--app", "PMAIL.EXE"});
  ASSERT_EQ(set.exit_code, 0) << set.err;
  json listed = json::parse(Device({"notifications", "--json"}).out);
  ASSERT_EQ(listed.size(), 1u) << listed.dump();
  EXPECT_EQ(listed[0]["title"], "Café €5");
  EXPECT_EQ(listed[0]["text"], "Œuvre – ready");
  EXPECT_EQ(listed[0]["app"], "PMAIL.EXE");

  RunResult refused = Peer({"alarm", "set", "--at", "2031-01-01T00:00:00", "--text", "会議"});
  EXPECT_EQ(refused.exit_code, 2) << refused.err;
  EXPECT_NE(refused.err.find("dialog text: \"会\" (U+4F1A)"), std::string::npos) << refused.err;
  EXPECT_EQ(json::parse(Device({"notifications", "--json"}).out).size(), 1u) << "nothing more set";
}

// A request the device's buffer cannot hold is refused before it is sent:
// a usage error, the device untouched and the session still good.
TEST_F(HmpeerTest, ARequestOverTheDevicesBufferIsRefusedBeforeSending) {
  StartServer();
  struct Case {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"alarm text", {"alarm", "set", "--at", "2031-01-01T00:00:00", "--text", std::string(2100, 'a')}},
      {"database name", {"dump", std::string(1100, 'n')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult r = Peer(c.args);
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find("over the device's 2048-byte message buffer: not sent"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Device({"notifications", "--json"}).out, "[]\n");
  EXPECT_EQ(Peer({"hello"}).exit_code, 0);
}

TEST_F(HmpeerTest, ANonRunningDeviceIsAConnectionFailure) {
  RunResult r = Peer({"--timeout", "1", "hello"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
}

// A stand-in device on a host socket: it accepts one peer, answers the
// hello with `hello_reply`, and at the first further request sends `then`
// and closes the connection (as a server that goes away mid-exchange would),
// or, when `silent`, answers nothing and waits for the peer to leave.
class FakeDevice {
 public:
  explicit FakeDevice(std::vector<uint8_t> hello_reply, std::vector<uint8_t> then = {},
                      bool silent = false)
      : reply_(std::move(hello_reply)), then_(std::move(then)), silent_(silent) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    ::listen(listen_, 1);
    thread_ = std::thread([this] {
      int conn = ::accept(listen_, nullptr, nullptr);
      if (conn < 0) return;
      uint8_t buf[2048];
      if (::recv(conn, buf, sizeof buf, 0) > 0) ::send(conn, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      if (::recv(conn, buf, sizeof buf, 0) > 0 && !then_.empty()) {
        ::send(conn, then_.data(), then_.size(), MSG_NOSIGNAL);
      }
      while (silent_ && ::recv(conn, buf, sizeof buf, 0) > 0) {
      }
      ::close(conn);
    });
  }
  ~FakeDevice() {
    ::shutdown(listen_, SHUT_RDWR);
    ::close(listen_);
    thread_.join();
  }
  int port() const { return port_; }

 private:
  std::vector<uint8_t> reply_;
  std::vector<uint8_t> then_;
  bool silent_;
  int listen_ = -1;
  int port_ = 0;
  std::thread thread_;
};

TEST(HmpeerFakeDeviceTest, ARefusedHelloABrokenReplyAndAVanishingDeviceFailClearly) {
  const std::vector<uint8_t> accepted = {0xA0, 0x00, 0x0B, 0x10, 0x00, 0x08, 0x00, 0x49, 0x00, 0x04, 0x2D};
  struct Case {
    const char* name;
    std::vector<uint8_t> hello;
    std::vector<uint8_t> then;
    bool silent;
    int exit_code;
    const char* says;
  } cases[] = {
      {"refused", {0xD3, 0x00, 0x0B, 0x10, 0x00, 0x08, 0x00, 0x49, 0x00, 0x04, 0x2D}, {}, false, 1,
       "hello refused (0xD3)"},
      {"bad request", {0xC0, 0x00, 0x0B, 0x10, 0x00, 0x08, 0x00, 0x49, 0x00, 0x04, 0x2D}, {}, false, 1,
       "hello refused (0xC0)"},
      {"gone mid-exchange", accepted, {}, false, 3, "the device closed the connection"},
      {"a reply cut short", accepted, {0xA0, 0x00, 0x20, 0x10}, false, 3, "the device closed the connection"},
      {"a length under the header", accepted, {0xA0, 0x00, 0x02}, false, 1,
       "length 2, shorter than its own header"},
      {"silent", accepted, {}, true, 3, "no reply within 0.5 s"},
  };
  for (const Case& c : cases) {
    FakeDevice device(c.hello, c.then, c.silent);
    RunResult r = hmtest::Run(
        {HM_HMPEER_PATH, "--port", std::to_string(device.port()), "--timeout", "0.5", "state", "24"});
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.name << ": " << r.err;
  }
}

}  // namespace
