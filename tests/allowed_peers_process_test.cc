// Who may connect: the real server with an allow-list, peers on loopback
// addresses (127.0.0.2 is not 127.0.0.1).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "peer/frame.h"
#include "tests/support/device_system.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;

hmtest::ProgramPaths Paths() { return {HM_HOLLOWMARCH_PATH, HM_HMDEVICE_PATH, HM_HMPEER_PATH}; }

// Connects from `source` to the server, sends a hello and waits up to 20 s
// for the server's first answer: "closed" when it closed the connection
// without a byte, "reply" when bytes came, else what went wrong.
std::string HelloFrom(const char* source, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return "no socket";
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  std::string result;
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
    result = std::string("bind: ") + strerror(errno);
  } else if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    result = std::string("connect: ") + strerror(errno);
  } else {
    const peer::Bytes hello = peer::Frame(peer::kMsgHello, peer::HelloPayload(peer::kIdentification));
    [[maybe_unused]] ssize_t sent = send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20000) != 1) {
      result = "no answer";
    } else {
      char byte;
      const ssize_t n = recv(fd, &byte, 1, 0);
      result = n > 0 ? "reply" : "closed";
    }
  }
  close(fd);
  return result;
}

TEST(AllowedPeersProcessTest, APeerOutsideTheListIsClosedAtAcceptAndTheNextIsServed) {
  hmtest::DeviceSystem s(Paths());
  ASSERT_EQ(s.Device({"reg", "set", "AllowedPeers", "127.0.0.1, 10.0.0.0/8", "--type", "sz"}).exit_code, 0);
  std::string why;
  ASSERT_TRUE(s.Start(&why)) << why;  // its hello comes from 127.0.0.1
  EXPECT_EQ(HelloFrom("127.0.0.2", s.port()), "closed");
  EXPECT_EQ(HelloFrom("127.0.0.1", s.port()), "reply");
  EXPECT_EQ(s.Peer({"hello"}).exit_code, 0) << "the next peer is served";
  std::string err;
  ASSERT_TRUE(s.Signal(SIGTERM, &err));
  EXPECT_NE(err.find("hollowmarch: refused the peer 127.0.0.2:"), std::string::npos) << err;
  EXPECT_NE(err.find("not among the allowed peers (127.0.0.1, 10.0.0.0/8)"), std::string::npos) << err;
  EXPECT_EQ(err.find("refused the peer 127.0.0.1:"), std::string::npos) << err;
}

TEST(AllowedPeersProcessTest, TheOptionWinsOverTheRegistryAndWithoutEitherEveryPeerIsServed) {
  {
    hmtest::DeviceSystem s(Paths());
    ASSERT_EQ(s.Device({"reg", "set", "AllowedPeers", "127.0.0.2", "--type", "sz"}).exit_code, 0);
    std::string why;
    ASSERT_TRUE(s.Start(&why, {"--allow", "127.0.0.0/30"})) << why;
    EXPECT_EQ(HelloFrom("127.0.0.1", s.port()), "reply");
    EXPECT_EQ(HelloFrom("127.0.0.3", s.port()), "reply");
    EXPECT_EQ(HelloFrom("127.0.0.4", s.port()), "closed");
  }
  hmtest::DeviceSystem s(Paths());
  std::string why;
  ASSERT_TRUE(s.Start(&why)) << why;
  EXPECT_EQ(HelloFrom("127.0.0.2", s.port()), "reply");
}

TEST(AllowedPeersProcessTest, AMalformedListStopsTheStartNamingIt) {
  hmtest::DeviceSystem s(Paths());
  hmtest::RunResult option = hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", s.root(), "--allow", "localhost"}, "", 20s);
  EXPECT_EQ(option.exit_code, 2);
  EXPECT_NE(option.err.find("--allow \"localhost\": \"localhost\" is not an IPv4 address or range"),
            std::string::npos)
      << option.err;
  ASSERT_EQ(s.Device({"reg", "set", "AllowedPeers", "10.0.0.0/40", "--type", "sz"}).exit_code, 0);
  hmtest::RunResult registry = hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", s.root()}, "", 20s);
  EXPECT_EQ(registry.exit_code, 2);
  EXPECT_NE(registry.err.find("the registry value AllowedPeers \"10.0.0.0/40\""), std::string::npos)
      << registry.err;
}

}  // namespace
