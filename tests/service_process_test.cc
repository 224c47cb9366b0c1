// `hollowmarch` as a service: what it tells a service manager and when, the
// address it listens on, the modes of the files it keeps, and the form of its
// lines when standard error is the journal. Real processes on a temporary
// device; the service manager is a datagram socket of the test.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/process.h"
#include "tests/support/service_manager.h"
#include "tests/support/temp_device.h"

namespace {

using namespace std::chrono_literals;
using hmtest::FakeServiceManager;
using hmtest::Process;
using hmtest::RunResult;

// True when a TCP connection to `ip`:`port` is accepted.
bool Accepts(const char* ip, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &address.sin_addr);
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// A socket of the test that holds `ip`:`port`, as another server would.
class PortHolder {
 public:
  PortHolder(const char* ip, int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &address.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 1) != 0) {
      ADD_FAILURE() << "cannot hold port " << port;
    }
  }
  ~PortHolder() { close(fd_); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

 private:
  int fd_ = -1;
};

class ServiceProcessTest : public ::testing::Test {
 protected:
  ServiceProcessTest() : device_(false), port_(hmtest::FreePort()), manager_(dir_.path()) {
    Device({"reg", "set", "Port", std::to_string(port_)});
  }

  RunResult Device(std::vector<std::string> args) {
    std::vector<std::string> argv = {HM_HMDEVICE_PATH, "--root", device_.root()};
    argv.insert(argv.end(), args.begin(), args.end());
    return hmtest::Run(argv);
  }

  std::vector<std::string> Argv(std::vector<std::string> args) {
    std::vector<std::string> argv = {HM_HOLLOWMARCH_PATH, "--root", device_.root()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  // The server, started by the fake service manager.
  std::unique_ptr<Process> StartService(std::vector<std::string> args = {}) {
    return std::make_unique<Process>(Argv(args), std::vector<std::string>{manager_.Env()});
  }

  // `hollowmarch Shutdown` from a process the manager did not start.
  RunResult Shutdown() { return hmtest::Run(Argv({"Shutdown"}), "", 20s, {"NOTIFY_SOCKET"}); }

  hmtest::TempDevice device_;
  hmtest::TempDir dir_;
  int port_;
  FakeServiceManager manager_;
};

TEST_F(ServiceProcessTest, ReadyOnceThePortAcceptsStatusFollowsTrackingStoppingAtTheClose) {
  ASSERT_EQ(Device({"db", "create", "Contacts", "--type", "24"}).exit_code, 0);
  auto server = StartService({"--listen", "127.0.0.1"});
  std::optional<std::string> ready = manager_.WaitFor("READY=1", 20s);
  ASSERT_TRUE(ready) << manager_.All() << server->Err();
  // Asked at once: the manager may start what depends on the server now.
  EXPECT_TRUE(Accepts("127.0.0.1", port_)) << "ready before the port accepts";
  const std::string endpoint = "127.0.0.1:" + std::to_string(port_);
  EXPECT_EQ(FakeServiceManager::Status(*ready), "Listening on " + endpoint + "; no class tracked");

  // The status follows the sync states, whoever changes them.
  ASSERT_EQ(Device({"send", "0x800B", "24", "0"}).out, "1\n");
  std::optional<std::string> tracking = manager_.Next(10s);
  ASSERT_TRUE(tracking) << manager_.All();
  EXPECT_EQ(FakeServiceManager::Status(*tracking), "Listening on " + endpoint + "; tracking class 24");

  RunResult shutdown = Shutdown();
  EXPECT_EQ(shutdown.exit_code, 0) << shutdown.err;
  std::optional<std::string> stopping = manager_.WaitFor("STOPPING=1", 10s);
  ASSERT_TRUE(stopping) << manager_.All();
  EXPECT_NE(FakeServiceManager::Status(*stopping).find("Closing"), std::string::npos) << *stopping;
  RunResult old;
  ASSERT_TRUE(server->Wait(10s, &old));
  EXPECT_EQ(old.exit_code, 0) << old.err;
  EXPECT_FALSE(manager_.Next(200ms)) << "nothing after STOPPING=1: " << manager_.All();
}

TEST_F(ServiceProcessTest, AServerThatCannotListenIsNeverReady) {
  PortHolder holder("127.0.0.1", port_);
  auto server = StartService({"--listen", "127.0.0.1"});
  RunResult r;
  ASSERT_TRUE(server->Wait(20s, &r));
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("unable to start the sync server on 127.0.0.1:" + std::to_string(port_) +
                       ": the port is already in use"),
            std::string::npos)
      << r.err;
  while (manager_.Next(100ms)) {
  }
  EXPECT_EQ(manager_.All().find("READY=1"), std::string::npos) << manager_.All();
}

// A service manager stops the server with SIGTERM, which must close it as
// `hollowmarch Shutdown` does (through WM_CLOSE, exit status 0).
TEST_F(ServiceProcessTest, SigtermStopsLikeAShutdown) {
  auto server = StartService({"--listen", "127.0.0.1"});
  ASSERT_TRUE(manager_.WaitFor("READY=1", 20s)) << manager_.All() << server->Err();
  ASSERT_EQ(kill(server->pid(), SIGTERM), 0);
  EXPECT_TRUE(manager_.WaitFor("STOPPING=1", 10s)) << manager_.All();
  RunResult r;
  ASSERT_TRUE(server->Wait(10s, &r));
  EXPECT_EQ(r.signal, 0) << "ended by the signal instead of closing";
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// 127.0.0.2 reaches this machine over the loopback interface like
// 127.0.0.1, so it tells a server bound to one address from one bound to
// all of them.
TEST_F(ServiceProcessTest, TheOptionThenTheRegistryChooseTheAddressToListenOn) {
  struct Case {
    const char* name;
    const char* registry;  // ListenAddress, or null for none
    const char* option;    // --listen, or null for none
    const char* status;    // where the status says it listens
    bool first;            // 127.0.0.1 accepts
    bool second;           // 127.0.0.2 accepts
  } cases[] = {
      {"every address by default", nullptr, nullptr, "every address, port P", true, true},
      {"the registry's", "127.0.0.1", nullptr, "127.0.0.1:P", true, false},
      {"the option wins", "127.0.0.1", "127.0.0.2", "127.0.0.2:P", false, true},
      {"every address asked for", "127.0.0.1", "0.0.0.0", "every address, port P", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.registry != nullptr) {
      ASSERT_EQ(Device({"reg", "set", "ListenAddress", c.registry, "--type", "sz"}).exit_code, 0);
    }
    std::vector<std::string> args;
    if (c.option != nullptr) args = {"--listen", c.option};
    auto server = StartService(args);
    std::optional<std::string> ready = manager_.WaitFor("READY=1", 20s);
    ASSERT_TRUE(ready) << manager_.All() << server->Err();
    std::string status = c.status;
    status.replace(status.find('P'), 1, std::to_string(port_));
    EXPECT_EQ(FakeServiceManager::Status(*ready), "Listening on " + status + "; no class tracked");
    EXPECT_EQ(Accepts("127.0.0.1", port_), c.first);
    EXPECT_EQ(Accepts("127.0.0.2", port_), c.second);
    EXPECT_EQ(Shutdown().exit_code, 0);
    ASSERT_TRUE(server->Wait(10s));
  }
}

// A malformed choice never becomes every address, and the refused start
// leaves the running instance alone.
TEST_F(ServiceProcessTest, AMalformedAddressIsRefusedAtTheStart) {
  auto running = StartService({"--listen", "127.0.0.1"});
  ASSERT_TRUE(manager_.WaitFor("READY=1", 20s)) << manager_.All() << running->Err();

  struct Case {
    const char* name;
    std::vector<std::string> registry;  // hmdevice reg set arguments, or none
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {"a number too large", {}, {"--listen", "300.1.2.3"}, "--listen \"300.1.2.3\" is not an IPv4 address"},
      {"a host name", {}, {"--listen", "localhost"}, "--listen \"localhost\" is not an IPv4 address"},
      {"empty", {}, {"--listen", ""}, "--listen \"\" is not an IPv4 address"},
      {"short form in the registry",
       {"ListenAddress", "127.1", "--type", "sz"},
       {},
       "the registry value ListenAddress \"127.1\" is not an IPv4 address"},
      {"a number in the registry",
       {"ListenAddress", "2130706433", "--type", "dword"},
       {},
       "the registry value ListenAddress is not text (REG_SZ)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.registry.empty()) {
      std::vector<std::string> set = {"reg", "set"};
      set.insert(set.end(), c.registry.begin(), c.registry.end());
      ASSERT_EQ(Device(set).exit_code, 0);
    }
    RunResult r = hmtest::Run(Argv(c.args), "", 20s);
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(running->Running()) << "a refused start closed the running instance";
  }
  // Closing listens nowhere: the malformed value left in the registry does
  // not keep the running instance from being stopped.
  RunResult shutdown = Shutdown();
  EXPECT_EQ(shutdown.exit_code, 0) << shutdown.err;
  EXPECT_TRUE(running->Wait(10s));
}

// Every folder and file of the device, the runtime folder's sockets aside.
void CollectModes(const std::string& path, std::vector<std::pair<std::string, mode_t>>* out) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISSOCK(st.st_mode)) return;
  out->emplace_back(path, st.st_mode & 07777);
  if (!S_ISDIR(st.st_mode)) return;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") CollectModes(path + "/" + name, out);
  }
  closedir(dir);
}

TEST_F(ServiceProcessTest, EveryFileTheProgramsMakeIsPrivateWhateverTheUmask) {
  for (mode_t mask : {022u, 0u}) {
    SCOPED_TRACE("umask " + std::to_string(mask));
    hmtest::TempDir dir;
    const std::string root = dir.path() + "/device";
    // The programs inherit the umask.
    const mode_t saved = umask(mask);
    RunResult init = hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "init", "--demo"});
    hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "reg", "set", "Port", std::to_string(port_)});
    Process server({HM_HOLLOWMARCH_PATH, "--root", root, "--listen", "127.0.0.1"}, {manager_.Env()});
    umask(saved);
    ASSERT_EQ(init.exit_code, 0) << init.err;
    ASSERT_TRUE(manager_.WaitFor("READY=1", 20s)) << manager_.All() << server.Err();

    // While the server runs, SQLite's journal files are there too.
    std::vector<std::pair<std::string, mode_t>> modes;
    CollectModes(root, &modes);
    size_t files = 0;
    for (const auto& [path, mode] : modes) {
      SCOPED_TRACE(path);
      struct stat st;
      lstat(path.c_str(), &st);
      EXPECT_EQ(mode, S_ISDIR(st.st_mode) ? 0700u : 0600u);
      if (!S_ISDIR(st.st_mode)) ++files;
    }
    for (const char* name : {"/store.db", "/store.db-wal", "/store.db-shm"}) {
      struct stat st;
      EXPECT_EQ(stat((root + name).c_str(), &st), 0) << name << " was looked at";
    }
    EXPECT_GE(files, 5u);
    RunResult shutdown = hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", root, "Shutdown"}, "", 20s);
    EXPECT_EQ(shutdown.exit_code, 0) << shutdown.err;
    ASSERT_TRUE(server.Wait(10s));
  }
}

// A root made beforehand that other users may reach into is the user's to
// narrow: every program refuses it, names the chmod and changes nothing.
TEST_F(ServiceProcessTest, ARootOpenToOthersIsRefusedByEveryProgram) {
  for (mode_t mode : {0777u, 0755u}) {
    SCOPED_TRACE(mode);
    hmtest::TempDir dir;
    const std::string root = dir.path() + "/shared";
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    ASSERT_EQ(chmod(root.c_str(), mode), 0);
    const std::string message = "the device root " + root + " is open to other users (mode 0" +
                                (mode == 0777u ? "777" : "755") + "); make it private first: chmod 700 '" +
                                root + "'";
    RunResult server = hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", root}, "", 20s);
    EXPECT_EQ(server.exit_code, 2);
    EXPECT_NE(server.err.find(message), std::string::npos) << server.err;
    RunResult init = hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "init"});
    EXPECT_EQ(init.exit_code, 3);
    EXPECT_NE(init.err.find(message), std::string::npos) << init.err;
    RunResult list = hmtest::Run({HM_HMDEVICE_PATH, "--root", root, "db", "list"});
    EXPECT_EQ(list.exit_code, 2);
    EXPECT_NE(list.err.find("no device at " + root), std::string::npos) << list.err;
    EXPECT_FALSE(std::ifstream(root + "/store.db").good()) << "nothing was made in it";
    struct stat st;
    ASSERT_EQ(stat(root.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
  }
}

// The service manager names the stream it connects to standard error in
// JOURNAL_STREAM ("device:inode"); the shell sets it here as the manager
// would, from the stream the program really gets, or from another file.
TEST_F(ServiceProcessTest, LinesCarryTheirPriorityOnlyWhenStandardErrorIsTheJournal) {
  struct Case {
    const char* name;
    const char* stream;  // the descriptor whose file JOURNAL_STREAM names
    bool journal;
  } cases[] = {{"the journal", "2", true}, {"another file", "1", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string script = std::string("JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/") + c.stream +
                               ") && export JOURNAL_STREAM && exec \"$@\"";
    auto wrapped = [&](std::vector<std::string> args) {
      std::vector<std::string> argv = {"/bin/sh", "-c", script, "sh"};
      std::vector<std::string> program = Argv(args);
      argv.insert(argv.end(), program.begin(), program.end());
      return argv;
    };

    // A trace line of a running server.
    Process server(wrapped({"--verbose", "--listen", "127.0.0.1"}), {manager_.Env()});
    ASSERT_TRUE(manager_.WaitFor("READY=1", 20s)) << manager_.All() << server.Err();
    ASSERT_EQ(Device({"send", "0x8005", "24"}).exit_code, 0);
    const std::string trace = "Got WM_HMAPP_START_CHANGE_LIST message";
    EXPECT_TRUE(server.WaitForErr(trace, 10s)) << server.Err();
    EXPECT_EQ(Shutdown().exit_code, 0);
    ASSERT_TRUE(server.Wait(10s));
    EXPECT_NE(server.Err().find(std::string(c.journal ? "<7>" : "") + trace), std::string::npos)
        << server.Err();
    // What the program does, at information level: where it listens and
    // whom it serves, and why it closes.
    for (const std::string& line :
         {"hollowmarch: listening on 127.0.0.1:" + std::to_string(port_) + "; no class tracked; serving every peer",
          std::string("hollowmarch: closing: another instance asked for it")}) {
      EXPECT_NE(server.Err().find(std::string(c.journal ? "<6>" : "") + line), std::string::npos) << server.Err();
    }

    // An error line of a server that cannot start.
    PortHolder holder("127.0.0.1", port_);
    RunResult failed = hmtest::Run(wrapped({"--listen", "127.0.0.1"}), "", 20s);
    EXPECT_EQ(failed.exit_code, 1);
    const std::string error = "hollowmarch: unable to start the sync server";
    ASSERT_NE(failed.err.find(error), std::string::npos) << failed.err;
    if (c.journal) {
      EXPECT_EQ(failed.err.rfind("<3>" + error, 0), 0u) << failed.err;
    } else {
      EXPECT_EQ(failed.err.rfind(error, 0), 0u) << failed.err;
    }
    for (const std::string& err : {server.Err(), failed.err}) {
      size_t start = 0;
      while (start < err.size()) {
        size_t end = err.find('\n', start);
        EXPECT_EQ(err.compare(start, 1, "<") == 0, c.journal) << "line: " << err.substr(start, end - start);
        start = end == std::string::npos ? err.size() : end + 1;
      }
    }
  }
}

}  // namespace
