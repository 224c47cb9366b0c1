// HM_THREADING_TEST
#include "platform/winsock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fault.h"

using namespace winsock;
namespace fault = platform::fault;

namespace {

class WinsockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fault::Clear();
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
  }
  void TearDown() override {
    WSACleanup();
    fault::Clear();
  }
};

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

const sockaddr* AsSockaddr(const sockaddr_in& address) {
  return reinterpret_cast<const sockaddr*>(&address);
}

// A listening socket on an ephemeral loopback port, set up the way the
// server sets up its own.
SOCKET Listen(uint16_t* port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return s;
  int one = 1;
  sockaddr_in address = Loopback(0);
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), 4) != 0 ||
      bind(s, AsSockaddr(address), sizeof(address)) != 0 || listen(s, 1) != 0) {
    return INVALID_SOCKET;
  }
  sockaddr_in bound{};
  int length = sizeof(bound);
  if (getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return INVALID_SOCKET;
  *port = ntohs(bound.sin_port);
  return s;
}

struct Pair {
  SOCKET listener = INVALID_SOCKET;
  SOCKET client = INVALID_SOCKET;
  SOCKET server = INVALID_SOCKET;
};

Pair Connected() {
  Pair p;
  uint16_t port = 0;
  p.listener = Listen(&port);
  if (p.listener == INVALID_SOCKET) return p;
  p.client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(port);
  if (connect(p.client, AsSockaddr(address), sizeof(address)) != 0) return p;
  p.server = accept(p.listener, nullptr, nullptr);
  return p;
}

void SendAll(SOCKET s, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    int n = send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
    ASSERT_GT(n, 0) << "error " << WSAGetLastError();
    sent += static_cast<size_t>(n);
  }
}

std::string RecvExactly(SOCKET s, size_t size) {
  std::string out;
  char buffer[4096];
  while (out.size() < size) {
    int n = recv(s, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

TEST(WinsockStartupTest, ReportsVersionOnePointOneForEveryVersionItServes) {
  struct Case {
    const char* name;
    WORD requested;
    int result;
  } cases[] = {
      {"1.1", 0x0101, 0},
      {"2.2", 0x0202, 0},
      {"1.0", 0x0001, WSAVERNOTSUPPORTED},
      {"0.0", 0x0000, WSAVERNOTSUPPORTED},
  };
  for (const Case& c : cases) {
    WSADATA data;
    std::memset(&data, 0xAB, sizeof(data));
    ASSERT_EQ(WSAStartup(c.requested, &data), c.result) << "case " << c.name;
    if (c.result != 0) continue;
    EXPECT_EQ(data.wVersion, 0x0101) << "case " << c.name;
    EXPECT_EQ(data.wHighVersion, 0x0101) << "case " << c.name;
    EXPECT_NE(std::memchr(data.szDescription, 0, sizeof(data.szDescription)), nullptr);
    EXPECT_EQ(WSACleanup(), 0) << "case " << c.name;
  }
  EXPECT_EQ(WSAStartup(0x0101, nullptr), WSAEFAULT);
}

TEST(WinsockStartupTest, StartsNestAndTheLastCleanupEndsWinsock) {
  fault::Clear();
  EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

  WSADATA data;
  ASSERT_EQ(WSAStartup(0x0101, &data), 0);
  ASSERT_EQ(WSAStartup(0x0101, &data), 0);
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(WSACleanup(), 0);
  // Still started once: the socket lives on.
  int one = 1;
  EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), 4), 0);
  EXPECT_EQ(WSACleanup(), 0);

  // The last cleanup closed the socket: a new start does not revive it.
  ASSERT_EQ(WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(WSACleanup(), 0);
}

TEST_F(WinsockTest, CarriesBytesBothWaysAndReportsAddresses) {
  uint16_t port = 0;
  SOCKET listener = Listen(&port);
  ASSERT_NE(listener, INVALID_SOCKET) << WSAGetLastError();
  ASSERT_NE(port, 0);

  SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(client, INVALID_SOCKET);
  sockaddr_in address = Loopback(port);
  ASSERT_EQ(connect(client, AsSockaddr(address), sizeof(address)), 0) << WSAGetLastError();

  sockaddr_in peer{};
  int peer_length = sizeof(peer);
  SOCKET server = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_length);
  ASSERT_NE(server, INVALID_SOCKET) << WSAGetLastError();
  EXPECT_EQ(peer_length, 16);
  EXPECT_EQ(peer.sin_family, AF_INET);
  EXPECT_EQ(ntohl(peer.sin_addr.s_addr), INADDR_LOOPBACK);

  for (SOCKET s : {listener, client, server}) {
    EXPECT_NE(s, 0u);
    EXPECT_NE(s, INVALID_SOCKET);
  }

  std::string request(3000, '\0');
  for (size_t i = 0; i < request.size(); ++i) request[i] = static_cast<char>(i * 7);
  SendAll(client, request);
  EXPECT_EQ(RecvExactly(server, request.size()), request);
  SendAll(server, "reply");
  EXPECT_EQ(RecvExactly(client, 5), "reply");

  // The peer's close reads as end of stream.
  ASSERT_EQ(closesocket(client), 0);
  char byte;
  EXPECT_EQ(recv(server, &byte, 1, 0), 0);
  EXPECT_EQ(closesocket(server), 0);
  EXPECT_EQ(closesocket(listener), 0);
}

TEST_F(WinsockTest, RejectsWhatItCannotServe) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  int one = 1;
  const char* value = reinterpret_cast<const char*>(&one);
  sockaddr_in wrong_family = Loopback(0);
  wrong_family.sin_family = 23;
  sockaddr_in good = Loopback(0);

  struct Case {
    const char* name;
    std::function<bool()> fails;  // runs the call; true when it failed
    int error;
  } cases[] = {
      {"datagram socket", [&] { return socket(AF_INET, 2, 0) == INVALID_SOCKET; },
       WSAESOCKTNOSUPPORT},
      {"other family", [&] { return socket(23, SOCK_STREAM, 0) == INVALID_SOCKET; },
       WSAEAFNOSUPPORT},
      {"unknown option", [&] { return setsockopt(s, SOL_SOCKET, 0x7777, value, 4) != 0; },
       WSAENOPROTOOPT},
      {"unknown level", [&] { return setsockopt(s, 99, SO_REUSEADDR, value, 4) != 0; },
       WSAENOPROTOOPT},
      {"short option", [&] { return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, value, 2) != 0; },
       WSAEFAULT},
      {"short address", [&] { return bind(s, AsSockaddr(good), 8) != 0; }, WSAEFAULT},
      {"null address", [&] { return bind(s, nullptr, 16) != 0; }, WSAEFAULT},
      {"other family address", [&] { return bind(s, AsSockaddr(wrong_family), 16) != 0; },
       WSAEAFNOSUPPORT},
      {"unknown socket", [&] { return listen(0x12345, 1) != 0; }, WSAENOTSOCK},
      {"negative length", [&] { return send(s, "x", -1, 0) != 0; }, WSAEFAULT},
      {"unknown flags", [&] { return send(s, "x", 1, 0x40) != 0; }, WSAEOPNOTSUPP},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(c.fails()) << "case " << c.name;
    EXPECT_EQ(WSAGetLastError(), c.error) << "case " << c.name;
  }
  EXPECT_EQ(closesocket(s), 0);
}

// The keepalive options reach the host socket; the unacknowledged-send
// bound counts seconds on the device and milliseconds on the host.
TEST_F(WinsockTest, SetsAndReadsBackTheConnectionOptions) {
  Pair p = Connected();
  ASSERT_NE(p.server, INVALID_SOCKET);
  struct Case {
    const char* name;
    int level;
    int option;
    int32_t set;
    int32_t read;
  } cases[] = {
      {"keepalive on", SOL_SOCKET, SO_KEEPALIVE, 5, 1},
      {"keepalive off", SOL_SOCKET, SO_KEEPALIVE, 0, 0},
      {"idle", IPPROTO_TCP, TCP_KEEPIDLE, 45, 45},
      {"interval", IPPROTO_TCP, TCP_KEEPINTVL, 7, 7},
      {"probes", IPPROTO_TCP, TCP_KEEPCNT, 4, 4},
      {"unacknowledged sends", IPPROTO_TCP, TCP_MAXRT, 120, 120},
      {"unacknowledged sends forever", IPPROTO_TCP, TCP_MAXRT, -1, 0},
      {"no delay", IPPROTO_TCP, TCP_NODELAY, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(setsockopt(p.server, c.level, c.option, reinterpret_cast<const char*>(&c.set), 4),
              0);
    int32_t value = -7;
    int length = 8;
    ASSERT_EQ(getsockopt(p.server, c.level, c.option, reinterpret_cast<char*>(&value), &length),
              0);
    EXPECT_EQ(value, c.read);
    EXPECT_EQ(length, 4);
  }
  int32_t value = 0;
  int length = 2;
  EXPECT_EQ(getsockopt(p.server, IPPROTO_TCP, TCP_KEEPIDLE, reinterpret_cast<char*>(&value),
                       &length),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  length = 4;
  EXPECT_EQ(getsockopt(p.server, IPPROTO_TCP, 0x7777, reinterpret_cast<char*>(&value), &length),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);
  closesocket(p.client);
  closesocket(p.server);
  closesocket(p.listener);
}

// select waits for data, a peer's close or its time-out, whichever comes
// first, and leaves only the ready sockets in the set.
TEST_F(WinsockTest, SelectWaitsForDataACloseOrItsTimeOut) {
  Pair p = Connected();
  ASSERT_NE(p.server, INVALID_SOCKET);
  auto readable = [&](long ms) {
    winsock::fd_set set;
    FdZero(&set);
    FdSet(p.server, &set);
    FdSet(p.client, &set);
    winsock::timeval timeout{ms / 1000, (ms % 1000) * 1000};
    const int n = winsock::select(0, &set, nullptr, nullptr, &timeout);
    EXPECT_EQ(n, static_cast<int>(set.fd_count));
    return n == 1 && FdIsSet(p.server, &set);
  };
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(readable(100)) << "nothing to read";
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(90));

  ASSERT_EQ(send(p.client, "x", 1, 0), 1);
  EXPECT_TRUE(readable(2000)) << "data";
  char byte;
  ASSERT_EQ(recv(p.server, &byte, 1, 0), 1);

  winsock::fd_set writable;
  FdZero(&writable);
  FdSet(p.server, &writable);
  winsock::timeval now{0, 0};
  EXPECT_EQ(winsock::select(0, nullptr, &writable, nullptr, &now), 1);

  // Closing the socket from another thread ends the wait.
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    closesocket(p.server);
  });
  winsock::fd_set set;
  FdZero(&set);
  FdSet(p.server, &set);
  EXPECT_EQ(winsock::select(0, &set, nullptr, nullptr, nullptr), 1);
  closer.join();

  winsock::fd_set empty;
  FdZero(&empty);
  EXPECT_EQ(winsock::select(0, &empty, nullptr, nullptr, &now), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  FdSet(p.server, &empty);  // closed by now
  EXPECT_EQ(winsock::select(0, &empty, nullptr, nullptr, &now), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  closesocket(p.client);
  closesocket(p.listener);
}

TEST_F(WinsockTest, ReportsAPortInUse) {
  uint16_t port = 0;
  SOCKET first = Listen(&port);
  ASSERT_NE(first, INVALID_SOCKET);
  SOCKET second = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(port);
  EXPECT_EQ(bind(second, AsSockaddr(address), sizeof(address)), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
}

TEST_F(WinsockTest, SendingToAClosedPeerFailsWithoutASignal) {
  Pair p = Connected();
  ASSERT_NE(p.server, INVALID_SOCKET);
  ASSERT_EQ(closesocket(p.client), 0);
  // The first sends may still be taken by the host; a reset soon follows.
  // Without MSG_NOSIGNAL the process would die of SIGPIPE here.
  std::string block(65536, 'x');
  int result = 0;
  for (int i = 0; i < 100 && result != SOCKET_ERROR; ++i) {
    result = send(p.server, block.data(), static_cast<int>(block.size()), 0);
  }
  EXPECT_EQ(result, SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST_F(WinsockTest, AClosedSocketIsInvalidAndItsValueNeverComesBack) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_EQ(closesocket(s), 0);
  char byte;
  EXPECT_EQ(recv(s, &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  // A second close (both threads of the server may try) fails harmlessly.
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  for (int i = 0; i < 20; ++i) {
    SOCKET t = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(t, INVALID_SOCKET);
    EXPECT_NE(t, s);
    closesocket(t);
  }
}

// closesocket from another thread must end a blocked accept or recv; the
// blocked call then fails rather than reading as a connection or end of
// stream.
TEST_F(WinsockTest, ClosingFromAnotherThreadWakesABlockedAccept) {
  uint16_t port = 0;
  SOCKET listener = Listen(&port);
  ASSERT_NE(listener, INVALID_SOCKET);
  SOCKET accepted = 0;
  int error = 0;
  std::thread worker([&] {
    accepted = accept(listener, nullptr, nullptr);
    error = WSAGetLastError();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(closesocket(listener), 0);
  worker.join();
  EXPECT_EQ(accepted, INVALID_SOCKET);
  EXPECT_TRUE(error == WSAEINTR || error == WSAENOTSOCK) << error;
}

TEST_F(WinsockTest, ClosingFromAnotherThreadWakesABlockedRecv) {
  Pair p = Connected();
  ASSERT_NE(p.server, INVALID_SOCKET);
  int received = 0;
  int error = 0;
  std::thread worker([&] {
    char buffer[16];
    received = recv(p.server, buffer, sizeof(buffer), 0);
    error = WSAGetLastError();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(closesocket(p.server), 0);
  worker.join();
  EXPECT_EQ(received, SOCKET_ERROR);
  EXPECT_TRUE(error == WSAEINTR || error == WSAENOTSOCK) << error;
  // The peer sees the connection end.
  char byte;
  EXPECT_EQ(recv(p.client, &byte, 1, 0), 0);
}

TEST_F(WinsockTest, TheLastCleanupWakesABlockedRecv) {
  Pair p = Connected();
  ASSERT_NE(p.server, INVALID_SOCKET);
  int received = 0;
  std::thread worker([&] {
    char buffer[16];
    received = recv(p.server, buffer, sizeof(buffer), 0);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(WSACleanup(), 0);
  worker.join();
  EXPECT_EQ(received, SOCKET_ERROR);
  WSADATA data;
  ASSERT_EQ(WSAStartup(0x0101, &data), 0);  // for TearDown
}

// Many threads closing and using sockets at once: every call either works or
// fails cleanly, and no descriptor is closed twice or used after its close.
TEST_F(WinsockTest, ConcurrentClosesCloseEachSocketOnce) {
  for (int round = 0; round < 20; ++round) {
    Pair p = Connected();
    ASSERT_NE(p.server, INVALID_SOCKET);
    std::atomic<int> successes{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&] {
        if (closesocket(p.server) == 0) ++successes;
      });
    }
    threads.emplace_back([&] {
      char buffer[4];
      recv(p.server, buffer, sizeof(buffer), 0);
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(successes.load(), 1) << "round " << round;
    closesocket(p.client);
    closesocket(p.listener);
  }
}

TEST_F(WinsockTest, TheFailureSeamFailsEachCallOnce) {
  using fault::Call;
  Pair p = Connected();
  ASSERT_NE(p.server, INVALID_SOCKET);
  int one = 1;
  const char* value = reinterpret_cast<const char*>(&one);
  sockaddr_in address = Loopback(0);
  char buffer[4];

  struct Case {
    const char* name;
    Call call;
    std::function<bool()> fails;  // runs the call; true when it failed
  } cases[] = {
      {"socket", Call::kSocket,
       [&] {
         SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
         if (s != INVALID_SOCKET) closesocket(s);
         return s == INVALID_SOCKET;
       }},
      {"setsockopt", Call::kSetsockopt,
       [&] { return setsockopt(p.listener, SOL_SOCKET, SO_REUSEADDR, value, 4) != 0; }},
      {"bind", Call::kBind,
       [&] {
         SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
         bool failed = bind(s, AsSockaddr(address), sizeof(address)) != 0;
         closesocket(s);
         return failed;
       }},
      {"listen", Call::kListen, [&] { return listen(p.listener, 1) != 0; }},
      {"send", Call::kSend, [&] { return send(p.client, "a", 1, 0) != 1; }},
      {"recv", Call::kRecv, [&] { return recv(p.server, buffer, 1, 0) != 1; }},
  };
  for (const Case& c : cases) {
    fault::FailNext(c.call, WSAENETDOWN);
    EXPECT_TRUE(c.fails()) << "case " << c.name;
    EXPECT_EQ(WSAGetLastError(), WSAENETDOWN) << "case " << c.name;
    EXPECT_FALSE(c.fails()) << "case " << c.name << " (second call)";
  }

  fault::FailNext(Call::kAccept, WSAENETDOWN);
  EXPECT_EQ(accept(p.listener, nullptr, nullptr), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAENETDOWN);

  fault::FailNext(Call::kWSAStartup, WSAENETDOWN);
  WSADATA data;
  EXPECT_EQ(WSAStartup(0x0101, &data), WSAENETDOWN);
}

TEST(WinsockByteOrderTest, ConvertsToNetworkOrder) {
  uint16_t port = htons(0x9CCD);
  uint32_t address = htonl(0x7F000001);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&port)[0], 0x9C);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&address)[0], 0x7F);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&address)[3], 0x01);
  EXPECT_EQ(ntohs(port), 0x9CCD);
  EXPECT_EQ(ntohl(address), 0x7F000001u);
}

// The conversions need no started Winsock: the address of a setting is
// checked before the server starts.
TEST(WinsockAddressTextTest, ReadsOnlyStrictDottedDecimal) {
  struct Case {
    const char* text;
    int result;
    uint32_t address;  // host order, when result is 1
  } cases[] = {
      {"127.0.0.1", 1, 0x7F000001},   {"0.0.0.0", 1, 0},
      {"255.255.255.255", 1, 0xFFFFFFFF}, {"192.168.10.200", 1, 0xC0A80AC8},
      {"256.0.0.1", 0, 0},            {"127.1", 0, 0},
      {"127.0.0.1.5", 0, 0},          {"010.0.0.1", 0, 0},
      {"0x7f.0.0.1", 0, 0},           {" 127.0.0.1", 0, 0},
      {"127.0.0.1 ", 0, 0},           {"localhost", 0, 0},
      {"", 0, 0},                     {"1..2.3", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t address = 0xDEADBEEF;
    EXPECT_EQ(inet_pton(AF_INET, c.text, &address), c.result);
    EXPECT_EQ(address, c.result == 1 ? htonl(c.address) : 0xDEADBEEFu) << "untouched when refused";
  }
  uint32_t address = 0;
  EXPECT_EQ(inet_pton(23, "127.0.0.1", &address), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
  EXPECT_EQ(inet_pton(AF_INET, nullptr, &address), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
}

TEST(WinsockAddressTextTest, WritesDottedDecimalWhenItFits) {
  const uint32_t address = htonl(0xC0A80AC8);
  char text[16];
  EXPECT_STREQ(inet_ntop(AF_INET, &address, text, sizeof text), "192.168.10.200");
  char small[8];
  EXPECT_EQ(inet_ntop(AF_INET, &address, small, sizeof small), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(inet_ntop(23, &address, text, sizeof text), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
}

}  // namespace
