// The client against a scripted device: a host listener in the test that
// sends chosen bytes, so framing faults on the device side can be played.
#include "peer/peer_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "gtest/gtest.h"
#include "peer/device_requests.h"

namespace peer {
namespace {

using std::chrono::milliseconds;

// A listener on a free loopback port that accepts one connection and runs
// `script` on it in a thread of its own.
class ScriptedDevice {
 public:
  explicit ScriptedDevice(std::function<void(int fd)> script) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::listen(listener_, 1);
    thread_ = std::thread([this, script] {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      script(fd);
      ::close(fd);
    });
  }
  ~ScriptedDevice() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

void SendAll(int fd, const Bytes& bytes) {
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// Reads `count` bytes (what the client sent) or until the client closes.
Bytes ReadSome(int fd, size_t count) {
  Bytes out(count);
  size_t got = 0;
  while (got < count) {
    ssize_t n = ::recv(fd, out.data() + got, count - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  out.resize(got);
  return out;
}

TEST(PeerClient, ReadsEachFrameByItsLengthField) {
  // Two frames in one send, the second split across two sends.
  ScriptedDevice device([](int fd) {
    SendAll(fd, {0xA0, 0x00, 0x03, 0xD1, 0x00, 0x05, 0x01});
    std::this_thread::sleep_for(milliseconds(20));
    SendAll(fd, {0x02});
    std::this_thread::sleep_for(milliseconds(200));
  });
  PeerClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", device.port()));
  Bytes frame;
  ASSERT_EQ(client.ReceiveFrame(&frame), ReceiveResult::kFrame);
  EXPECT_EQ(frame, (Bytes{0xA0, 0x00, 0x03}));
  // The next frame's start came with the first one: it has arrived.
  EXPECT_FALSE(client.NothingArrives(milliseconds(0)));
  ASSERT_EQ(client.ReceiveFrame(&frame), ReceiveResult::kFrame);
  EXPECT_EQ(frame, (Bytes{0xD1, 0x00, 0x05, 0x01, 0x02}));
}

TEST(PeerClient, ReportsFramesThatDoNotArriveWhole) {
  struct Case {
    const char* name;
    Bytes sent;
    bool closeAfter;
    ReceiveResult result;
  };
  const Case cases[] = {
      {"closed mid-frame", {0xA0, 0x00, 0x09, 0x01}, true, ReceiveResult::kClosed},
      {"closed before a byte", {}, true, ReceiveResult::kClosed},
      {"length under 3", {0xA0, 0x00, 0x02}, false, ReceiveResult::kBadLength},
      {"rest never comes", {0xA0, 0x00, 0x09}, false, ReceiveResult::kTimeout},
      {"nothing comes", {}, false, ReceiveResult::kTimeout},
  };
  for (const Case& c : cases) {
    ScriptedDevice device([&](int fd) {
      if (!c.sent.empty()) SendAll(fd, c.sent);
      if (!c.closeAfter) ReadSome(fd, 1);  // until the client leaves
    });
    PeerClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", device.port())) << "case " << c.name;
    Bytes frame;
    EXPECT_EQ(client.ReceiveFrame(&frame, milliseconds(300)), c.result) << "case " << c.name;
    client.Close();
  }
}

TEST(PeerClient, HelloAndEndOfSessionExchangeFrames) {
  Bytes seen;
  {
    ScriptedDevice device([&](int fd) {
      seen = ReadSome(fd, 23);
      SendAll(fd, {0xA0, 0x00, 0x0B, 0x10, 0x00, 0x08, 0x00, 0x49, 0x00, 0x04, 0x2D});
      Bytes end = ReadSome(fd, 7);
      seen.insert(seen.end(), end.begin(), end.end());
      SendAll(fd, {0xA0, 0x00, 0x03});
    });
    PeerClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", device.port()));
    Bytes reply;
    EXPECT_EQ(client.Hello(kIdentification, &reply), 0xA0);
    EXPECT_EQ(reply.size(), 11u);
    EXPECT_EQ(client.EndSession(true), 0xA0);
    EXPECT_TRUE(client.ClosedByDevice(milliseconds(2000)));
  }  // the device's thread has ended
  Bytes expected = Frame(kMsgHello, HelloPayload(kIdentification));
  Bytes end = Frame(kMsgEndSession, EndSessionPayload(true));
  expected.insert(expected.end(), end.begin(), end.end());
  EXPECT_EQ(seen, expected);
}

// A request over the device's 2048-byte buffer would reach it cut in two;
// it is refused before a byte is sent, through every request path, and the
// connection stays usable.
TEST(PeerClient, RefusesRequestsOverTheDevicesBufferBeforeSending) {
  Bytes seen;
  {
    ScriptedDevice device([&](int fd) {
      seen = ReadSome(fd, kMaxRequestBytes);
      SendAll(fd, {0xA0, 0x00, 0x03});
      Bytes more = ReadSome(fd, 1);  // nothing more: the client closes
      seen.insert(seen.end(), more.begin(), more.end());
    });
    PeerClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", device.port()));
    Bytes reply;
    EXPECT_EQ(client.Exchange(kMsgCommand, Bytes(kMaxRequestBytes - kHeaderBytes + 1, 0x11), &reply),
              kRequestNotSent);
    EXPECT_EQ(client.last_result(), ReceiveResult::kTooLarge);
    EXPECT_NE(client.LastFailure().find("2049 bytes"), std::string::npos) << client.LastFailure();

    uint32_t handle = 0, oid = 0;
    Reply open = OpenDb(client, 0, std::u16string(1100, u'x'), 0, &handle, &oid);
    EXPECT_EQ(open.status, kRequestNotSent);
    EXPECT_NE(open.error.find("not sent"), std::string::npos) << open.error;
    Alarm alarm;
    alarm.text = std::string(2100, 'a');
    Reply set = SetAlarm(client, alarm, &handle);
    EXPECT_EQ(set.status, kRequestNotSent);
    EXPECT_FALSE(set.ok());

    // The largest request that fits still goes out, whole, and is the first
    // thing the device sees.
    EXPECT_EQ(client.Exchange(kMsgCommand, Bytes(kMaxRequestBytes - kHeaderBytes, 0x22), &reply), 0xA0);
    client.Close();
  }
  ASSERT_EQ(seen.size(), kMaxRequestBytes);
  EXPECT_EQ(seen[0], kMsgCommand);
  EXPECT_EQ(seen[3], 0x22);
}

TEST(PeerClient, ConnectFailsCleanly) {
  PeerClient client;
  std::string error;
  EXPECT_FALSE(client.Connect("not-an-address", 1, milliseconds(200), &error));
  EXPECT_NE(error, "");
  // A port that nobody listens on: refused at once.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  const uint16_t port = ntohs(address.sin_port);
  ::close(fd);
  EXPECT_FALSE(client.Connect("127.0.0.1", port, milliseconds(1000), &error));
  EXPECT_FALSE(client.connected());
  Bytes frame;
  EXPECT_EQ(client.ReceiveFrame(&frame, milliseconds(10)), ReceiveResult::kError);
  EXPECT_FALSE(client.SendBytes(Bytes{1}));
}

}  // namespace
}  // namespace peer
