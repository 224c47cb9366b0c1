// HM_LONG_TEST
// The real server and peers that go quiet: one that vanishes without a
// close (its link goes down after hello, as when a cable is pulled) must
// not keep the server from the next peer once keepalive has found it dead,
// and one that stays connected and silent must never be cut. Each waits
// for the network's own timers, so these take minutes.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "peer/device_requests.h"
#include "peer/frame.h"
#include "peer/peer_client.h"
#include "tests/support/device_system.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;
using peer::Bytes;
using Clock = std::chrono::steady_clock;

const Bytes kHelloOk{0xA0, 0x00, 0x0B, 0x10, 0x00, 0x08, 0x00, 0x49, 0x00, 0x04, 0x2D};

hmtest::ProgramPaths Paths() { return {HM_HOLLOWMARCH_PATH, HM_HMDEVICE_PATH, HM_HMPEER_PATH}; }

Bytes HelloFrame() {
  return peer::Frame(peer::kMsgHello, peer::HelloPayload(peer::kIdentification));
}

// iproute2's program where Debian puts it (the runner takes no PATH).
std::string IpProgram() {
  for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
    if (access(path, X_OK) == 0) return path;
  return "ip (not found; scripts/deps installs iproute2)";
}

// Runs `ip ARGS...`; empty on success, else what went wrong.
std::string Ip(const std::vector<std::string>& args) {
  std::vector<std::string> argv{IpProgram()};
  argv.insert(argv.end(), args.begin(), args.end());
  hmtest::RunResult r = hmtest::Run(argv, "", 20s);
  if (r.exit_code == 0) return "";
  std::string command = "ip";
  for (const std::string& a : args) command += " " + a;
  return command + ": exit " + std::to_string(r.exit_code) + ", " + r.err + r.out;
}

// A network namespace joined to this one by a veth pair: 10.231.N.1 here,
// 10.231.N.2 inside, N from the process id so that runs side by side do not
// meet. Removed again on destruction.
class PeerNamespace {
 public:
  PeerNamespace() {
    const unsigned n = static_cast<unsigned>(getpid()) % 200 + 20;
    const std::string tag = std::to_string(getpid() % 100000);
    name_ = "hm-live-" + tag;
    hostLink_ = "hmh" + tag;
    peerLink_ = "hmp" + tag;
    hostAddress_ = "10.231." + std::to_string(n) + ".1";
    peerAddress_ = "10.231." + std::to_string(n) + ".2";
    const std::vector<std::vector<std::string>> steps = {
        {"netns", "add", name_},
        {"link", "add", hostLink_, "type", "veth", "peer", "name", peerLink_},
        {"link", "set", peerLink_, "netns", name_},
        {"addr", "add", hostAddress_ + "/30", "dev", hostLink_},
        {"link", "set", hostLink_, "up"},
        {"-n", name_, "addr", "add", peerAddress_ + "/30", "dev", peerLink_},
        {"-n", name_, "link", "set", peerLink_, "up"},
    };
    for (const auto& step : steps) {
      error_ = Ip(step);
      if (!error_.empty()) return;
    }
  }
  ~PeerNamespace() {
    Ip({"link", "del", hostLink_});  // takes its pair along
    Ip({"netns", "del", name_});
  }
  PeerNamespace(const PeerNamespace&) = delete;
  PeerNamespace& operator=(const PeerNamespace&) = delete;

  // Empty when the namespace stands, else why it could not be made.
  const std::string& error() const { return error_; }
  const std::string& hostAddress() const { return hostAddress_; }

  // A TCP connection from inside the namespace to `port` here; -1 and
  // *error when it cannot be made. The socket stays in the namespace it was
  // made in, so only the thread that makes it enters the namespace.
  int Connect(int port, std::string* error) const {
    int fd = -1;
    std::thread inside([&] {
      const std::string path = "/run/netns/" + name_;
      int ns = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
        *error = "cannot enter " + path + ": " + strerror(errno);
        if (ns >= 0) close(ns);
        return;
      }
      close(ns);
      fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(port));
      inet_pton(AF_INET, hostAddress_.c_str(), &address.sin_addr);
      if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = std::string("connect from the namespace: ") + strerror(errno);
        if (fd >= 0) close(fd);
        fd = -1;
      }
    });
    inside.join();
    return fd;
  }

  // The peer's cable is pulled: nothing it sent or is sent gets through,
  // and no close reaches the device.
  std::string PullCable() const { return Ip({"-n", name_, "link", "set", peerLink_, "down"}); }

 private:
  std::string name_, hostLink_, peerLink_, hostAddress_, peerAddress_;
  std::string error_;
};

// Sends `bytes` and reads one whole frame back within `timeout`.
bool ExchangeRaw(int fd, const Bytes& bytes, Bytes* reply, std::chrono::milliseconds timeout) {
  if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
    return false;
  reply->clear();
  const auto deadline = Clock::now() + timeout;
  size_t wanted = 3;
  while (reply->size() < wanted) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    uint8_t buffer[256];
    const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, wanted - reply->size()), 0);
    if (n <= 0) return false;
    reply->insert(reply->end(), buffer, buffer + n);
    if (reply->size() == 3) wanted = (size_t((*reply)[1]) << 8) | (*reply)[2];
  }
  return true;
}

TEST(ConnectionLivenessTest, APeerWhoseLinkGoesDownIsDroppedAndTheNextOneServed) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root; skipped";
  PeerNamespace ns;
  if (!ns.error().empty())
    GTEST_SKIP() << "network namespaces are unavailable here (" << ns.error() << "); skipped";

  hmtest::DeviceSystem system(Paths());
  std::string why;
  ASSERT_TRUE(system.Start(&why)) << why;

  int vanishing = ns.Connect(system.port(), &why);
  if (vanishing < 0) GTEST_SKIP() << why << "; skipped";
  Bytes reply;
  ASSERT_TRUE(ExchangeRaw(vanishing, HelloFrame(), &reply, 5s));
  ASSERT_EQ(reply, kHelloOk);
  ASSERT_EQ(ns.PullCable(), "");
  const auto pulled = Clock::now();

  // The next peer waits while the device still serves the vanished one...
  peer::PeerClient next;
  ASSERT_TRUE(next.Connect("127.0.0.1", static_cast<uint16_t>(system.port()), 5s, &why)) << why;
  ASSERT_TRUE(next.SendBytes(HelloFrame()));
  EXPECT_TRUE(next.NothingArrives(5s)) << "the vanished peer should hold the device for a while";
  // ...until its keepalive gives the vanished one up, within about two
  // minutes of silence; the margin is for a loaded machine.
  ASSERT_EQ(next.ReceiveFrame(&reply, 200s), peer::ReceiveResult::kFrame) << next.LastFailure();
  EXPECT_EQ(reply, kHelloOk);
  std::cout << "next peer served "
            << std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - pulled).count()
            << " s after the cable was pulled\n";
  Bytes timeZone;
  peer::Reply r = peer::QueryTimeZone(next, &timeZone);
  EXPECT_TRUE(r.ok()) << r.error;
  close(vanishing);
}

TEST(ConnectionLivenessTest, ALivePeerThatStaysSilentIsNeverCut) {
  hmtest::DeviceSystem system(Paths());
  std::string why;
  ASSERT_TRUE(system.Start(&why)) << why;
  peer::PeerClient docked;
  ASSERT_TRUE(docked.Connect("127.0.0.1", static_cast<uint16_t>(system.port()), 5s, &why)) << why;
  ASSERT_EQ(docked.Hello(), 0xA0);
  // Longer than the keepalive's first probe: the peer's own stack answers
  // the probes, and nothing else may end the connection.
  EXPECT_TRUE(docked.NothingArrives(100s)) << "the device closed or sent something";
  Bytes timeZone;
  peer::Reply r = peer::QueryTimeZone(docked, &timeZone);
  EXPECT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(timeZone.size(), 172u);
}

}  // namespace
