// The desktop side's requests against a scripted device on loopback: the
// request bytes each one sends, and how each reads well-formed, refused and
// malformed replies.
#include "peer/device_requests.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace peer {
namespace {

Bytes Be32Bytes(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A device that answers each request it receives with the next scripted
// reply (several frames may be one reply) and keeps what it received.
class ScriptedDevice {
 public:
  explicit ScriptedDevice(std::vector<Bytes> replies) : replies_(std::move(replies)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 1);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedDevice() {
    if (thread_.joinable()) thread_.join();
    ::close(listen_);
  }
  uint16_t port() const { return port_; }
  // Waits for the device to finish; the frames it received.
  const std::vector<Bytes>& Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  bool ReadExactly(int fd, size_t n, Bytes* out) {
    while (n > 0) {
      uint8_t buf[4096];
      ssize_t got = ::recv(fd, buf, std::min(n, sizeof buf), 0);
      if (got <= 0) return false;
      out->insert(out->end(), buf, buf + got);
      n -= static_cast<size_t>(got);
    }
    return true;
  }
  void Serve() {
    int fd = ::accept(listen_, nullptr, nullptr);
    for (const Bytes& reply : replies_) {
      Bytes frame;
      if (!ReadExactly(fd, 3, &frame) || !ReadExactly(fd, ReadBe16(&frame[1]) - 3, &frame)) break;
      received_.push_back(frame);
      if (!reply.empty()) ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    ::close(fd);
  }

  std::vector<Bytes> replies_;
  std::vector<Bytes> received_;
  int listen_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

Bytes ChangeFrame(bool last, std::initializer_list<uint32_t> oids) {
  Bytes records;
  for (uint32_t oid : oids) {
    records.push_back(3);
    for (uint32_t v : {1000u, 0u, 0xFFFFFFFFu, 77u, oid}) {
      Bytes b = Be32Bytes(v);
      records.insert(records.end(), b.begin(), b.end());
    }
  }
  Bytes item = Item(last ? 0x49 : 0x48, records);
  return Frame(last ? 0x82 : 0x02, item);
}

TEST(DeviceRequestsTest, ChangeStreamIsReadToItsLastFrameAcknowledgingEach) {
  ScriptedDevice device({Cat({{0xA0, 0x00, 0x03}, ChangeFrame(false, {9, 8})}),
                         ChangeFrame(true, {7}), {}});
  PeerClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", device.port()));
  std::vector<ChangeRecord> changes;
  std::vector<size_t> progress;
  Reply reply = ReadChanges(client, 2, 0x01020304, &changes,
                            [&](size_t n) { progress.push_back(n); });
  EXPECT_TRUE(reply.ok()) << reply.error;
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[0], (ChangeRecord{3, 1000, 0, 0xFFFFFFFF, 77, 9}));
  EXPECT_EQ(changes[2].oidRec, 7u);
  EXPECT_EQ(progress, (std::vector<size_t>{2, 3}));
  client.Close();
  EXPECT_EQ(device.Received(),
            (std::vector<Bytes>{Frame(0x83, Item(0x49, Bytes{5, 2, 1, 2, 3, 4})),
                                Frame(0x90, {}), Frame(0x90, {})}));
}

TEST(DeviceRequestsTest, BrokenOrMalformedStreamsKeepWhatArrivedAndSaySo) {
  struct Case {
    const char* name;
    std::vector<Bytes> script;
    size_t records;
  };
  const Case cases[] = {
      {"device closes mid-stream", {Cat({{0xA0, 0x00, 0x03}, ChangeFrame(false, {9})})}, 1},
      {"record cut short", {Cat({{0xA0, 0x00, 0x03}, {0x82, 0x00, 0x08, 0x49, 0x00, 0x05, 1, 2}})}, 0},
      {"wrong tag", {Cat({{0xA0, 0x00, 0x03}, {0x02, 0x00, 0x06, 0x49, 0x00, 0x03}})}, 0},
  };
  for (const Case& c : cases) {
    ScriptedDevice device(c.script);
    PeerClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", device.port()));
    std::vector<ChangeRecord> changes;
    Reply reply = ReadChanges(client, 0, 0, &changes);
    EXPECT_FALSE(reply.ok()) << "case " << c.name;
    EXPECT_FALSE(reply.error.empty()) << "case " << c.name;
    EXPECT_EQ(changes.size(), c.records) << "case " << c.name;
    client.Close();
  }
}

TEST(DeviceRequestsTest, RequestsSendTheirItemsAndReadTheirReplies) {
  ScriptedDevice device({
      {0xA0, 0x00, 0x08, 0x49, 0x00, 0x05, 0x04, 0x02},
      Cat({{0xA0, 0x00, 0x20, 0x49, 0x00, 0x1D, 0x01, 0x00}, Bytes(8, 1), Bytes(8, 2), Bytes(8, 3)}),
      Cat({{0xA0, 0x00, 0x0C, 0x49, 0x00, 0x09, 0x10, 0x00}, Be32Bytes(123456)}),
      Cat({{0xA0, 0x00, 0x0B, 0x49, 0x00, 0x08, 0x09}, Be32Bytes(42)}),
      Cat({{0xA0, 0x00, 0x0F, 0x49, 0x00, 0x0C, 0x0A}, Be32Bytes(5), Be32Bytes(6)}),
      Cat({{0xA0, 0x00, 0x0F, 0x49, 0x00, 0x0C, 0x0C}, Be32Bytes(1), Be32Bytes(99)}),
      {0xD3, 0x00, 0x03},
  });
  PeerClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", device.port()));
  uint8_t answer = 0xFF;
  EXPECT_TRUE(QuerySyncState(client, 1, 999, &answer).ok());
  EXPECT_EQ(answer, kChangesIncomplete);
  FreeSpace space;
  EXPECT_TRUE(QueryFreeSpace(client, 1, &space).ok());
  EXPECT_EQ(space.volume, 1);
  EXPECT_EQ(space.totalBytes, 0x0202020202020202ull);
  uint32_t time = 0;
  EXPECT_TRUE(ForgetChange(client, 0, 0xABCD, &time).ok());
  EXPECT_EQ(time, 123456u);
  Alarm alarm;
  alarm.application = "PMAIL";
  alarm.text = "Hi!";
  uint32_t handle = 0;
  EXPECT_TRUE(SetAlarm(client, alarm, &handle).ok());
  EXPECT_EQ(handle, 42u);
  uint32_t db = 0, oid = 0;
  EXPECT_TRUE(OpenDb(client, 0, u"Db", kOpenAutoIncrement, &db, &oid).ok());
  EXPECT_EQ(db, 5u);
  EXPECT_EQ(oid, 6u);
  uint32_t index = 0;
  EXPECT_TRUE(SeekDb(client, db, kSeekCeoid, 99, &index, &oid).ok());
  EXPECT_EQ(index, 1u);
  Reply refused = DisableClass(client, 0);
  EXPECT_EQ(refused.status, 0xD3);
  EXPECT_FALSE(refused.ok());
  client.Close();

  const std::vector<Bytes>& sent = device.Received();
  ASSERT_EQ(sent.size(), 7u);
  EXPECT_EQ(sent[0], Frame(0x83, Item(0x49, Bytes{4, 1, 0, 0, 0x03, 0xE7})));
  EXPECT_EQ(sent[2], Frame(0x82, Item(0x49, Bytes{16, 0, 0, 0, 0xAB, 0xCD})));
  // Alarm: lengths 5, 0, 3, 0; the name at byte 31, the text 6 bytes later.
  Bytes alarmItem = Cat({{9, 0, 0, 0, 0, 1, 0}, Bytes(16, 0), {0, 5, 0, 0, 0, 3, 0, 0},
                         {'P', 'M', 'A', 'I', 'L', 0, 'H', 'i', '!', 0}});
  EXPECT_EQ(sent[3], Frame(0x82, Item(0x49, alarmItem)));
  EXPECT_EQ(sent[4], Frame(0x82, Item(0x49, Bytes{10, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 'D', 0,
                                                  'b', 0, 0, 0})));
  EXPECT_EQ(sent[5], Frame(0x82, Item(0x49, Cat({{12}, Be32Bytes(5), Be32Bytes(1), Be32Bytes(99)}))));
}

TEST(DeviceRequestsTest, RecordBatchWhoseSizeDisagreesIsRefused) {
  ScriptedDevice device({Cat({{0xA0, 0x00, 0x10, 0x49, 0x00, 0x0D, 0x0D}, Be32Bytes(1), Be32Bytes(2), {0}})});
  PeerClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", device.port()));
  std::vector<Record> records;
  Reply reply = ReadRecords(client, 7, &records);
  EXPECT_FALSE(reply.ok());
  EXPECT_TRUE(records.empty());
}

}  // namespace
}  // namespace peer
