// The sync engine against a stand-in device on a host socket: one database
// whose read order the test chooses, which the real device (always in
// identifier order) cannot show.
#include "peer/sync_engine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "peer/device_requests.h"
#include "peer/frame.h"
#include "peer/mirror.h"
#include "platform/mutex.h"  // the annotated mutex alone: header-only
#include "tests/support/temp_device.h"

namespace peer {
namespace {

constexpr uint32_t kDb = 100;
constexpr uint32_t kHandle = 7;
constexpr char16_t kDbName[] = u"Fake Contacts";
constexpr uint32_t kValueProp = (1u << 16) | kTypeUI4;

struct FakeRecord {
  uint32_t oid;
  uint32_t value;
};

// Serves hello, queries 4 and 5, commands 3 and 6, and the remote database
// commands over one database of records in `records` order, `batch`
// records to a read.
class FakeDevice {
 public:
  explicit FakeDevice(size_t batch) : batch_(batch) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::listen(listener_, 1);
    thread_ = std::thread([this] {
      for (int fd; (fd = ::accept(listener_, nullptr, nullptr)) >= 0;) {
        Serve(fd);
        ::close(fd);
      }
    });
  }
  ~FakeDevice() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  uint16_t port() const { return port_; }

  // The state the next requests see.
  void Set(std::vector<FakeRecord> records, std::vector<ChangeRecord> changes, uint8_t answer) {
    platform::MutexLock lock(&mu_);
    records_ = std::move(records);
    changes_ = std::move(changes);
    answer_ = answer;
    laterAnswer_ = answer;
    queries_ = 0;
    seeks_ = reads_ = 0;
  }
  // From the second sync-state query of a connection on, `answer`.
  void AnswerLater(uint8_t answer) {
    platform::MutexLock lock(&mu_);
    laterAnswer_ = answer;
  }
  // The database is made anew: the same name, identifier `oid`.
  void Replace(uint32_t oid) {
    platform::MutexLock lock(&mu_);
    db_ = oid;
  }
  // Reads fail (an empty batch, as the end) from this position on.
  void FailReadsFrom(size_t position) {
    platform::MutexLock lock(&mu_);
    failReadsFrom_ = position;
  }
  int seeks() {
    platform::MutexLock lock(&mu_);
    return seeks_;
  }

 private:
  static bool ReadAll(int fd, uint8_t* out, size_t n) {
    for (size_t got = 0; got < n;) {
      ssize_t r = ::recv(fd, out + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }
  static void Send(int fd, const Bytes& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  static Bytes Reply(Bytes fields) { return Frame(kStatusOk, Item(kTagInfo, fields)); }

  void Serve(int fd) EXCLUDES(mu_) {
    for (;;) {
      Bytes frame(kHeaderBytes);
      if (!ReadAll(fd, frame.data(), kHeaderBytes)) return;
      frame.resize(ReadBe16(&frame[1]));
      if (!ReadAll(fd, frame.data() + kHeaderBytes, frame.size() - kHeaderBytes)) return;
      platform::MutexLock lock(&mu_);
      if (frame[0] == kMsgHello) {
        queries_ = 0;
        Send(fd, {0xA0, 0x00, 0x0B, 0x10, 0x00, 0x08, 0x00, 0x49, 0x00, 0x04, 0x2D});
        continue;
      }
      if (frame[0] == kAckContinue) continue;  // after the last change frame
      auto item = FindItem(std::span<const uint8_t>(frame).subspan(kHeaderBytes), kTagInfo);
      if (frame[0] == kMsgEndSession || !item || item->empty()) {
        Send(fd, {0xA0, 0x00, 0x03});
        continue;
      }
      const uint8_t* f = item->data();
      Bytes out;
      switch (f[0]) {
        case 4:
          Send(fd, Reply({4, queries_++ == 0 ? answer_ : laterAnswer_}));
          break;
        case 5: {
          Send(fd, {0xA0, 0x00, 0x03});
          Bytes records;
          for (const ChangeRecord& c : changes_) {
            records.push_back(c.type);
            for (uint32_t v : {c.time, c.reserved, c.uid, c.oidDb, c.oidRec}) AppendBe32(records, v);
          }
          Send(fd, Frame(0x82, Item(kTagInfo, records)));
          break;
        }
        case 6:
          out = {6, 0};
          AppendBe32(out, ++time_);
          Send(fd, Reply(out));
          break;
        case 10: {
          std::u16string name;
          for (size_t i = 12; i + 1 < item->size() && (f[i] | f[i + 1]); i += 2) {
            name.push_back(static_cast<char16_t>(f[i] | f[i + 1] << 8));
          }
          const bool found = ReadBe32(f + 1) == db_ || (ReadBe32(f + 1) == 0 && name == kDbName);
          out = {10};
          AppendBe32(out, found ? kHandle : kInvalidHandle);
          AppendBe32(out, db_);
          position_ = 0;
          Send(fd, Reply(out));
          break;
        }
        case 12:
          Send(fd, Reply(Seek(ReadBe32(f + 5), ReadBe32(f + 9))));
          break;
        case 13:
          Send(fd, Reply(Read()));
          break;
        default:  // 3, 11
          Send(fd, {0xA0, 0x00, 0x03});
          break;
      }
    }
  }

  Bytes Seek(uint32_t type, uint32_t value) REQUIRES(mu_) {
    ++seeks_;
    uint32_t oid = 0;
    if (type == kSeekCeoid) {
      auto it = std::find_if(records_.begin(), records_.end(), [&](const FakeRecord& r) { return r.oid == value; });
      if (it != records_.end()) position_ = static_cast<size_t>(it - records_.begin()), oid = value;
    } else if (type == kSeekBeginning || type == kSeekEnd) {
      position_ = type == kSeekBeginning ? 0 : records_.size() - 1;
      oid = records_.empty() ? 0 : records_[position_].oid;
    } else if (position_ < records_.size()) {
      oid = records_[position_].oid;
    }
    Bytes out{12};
    AppendBe32(out, static_cast<uint32_t>(position_));
    AppendBe32(out, oid);
    return out;
  }

  Bytes Read() REQUIRES(mu_) {
    ++reads_;
    Bytes records;
    uint32_t count = 0;
    for (; count < batch_ && position_ < records_.size() && position_ < failReadsFrom_;
         ++count, ++position_) {
      AppendBe32(records, records_[position_].oid);
      AppendBe32(records, 1);
      AppendBe32(records, kEntryBytes);
      for (int i = 0; i < 4; ++i) records.push_back(static_cast<uint8_t>(kValueProp >> (8 * i)));
      records.insert(records.end(), 4, 0);
      AppendBe32(records, records_[position_].value);
      records.insert(records.end(), 4, 0);
    }
    Bytes out{13};
    AppendBe32(out, count);
    AppendBe32(out, static_cast<uint32_t>(records.size()));
    out.insert(out.end(), records.begin(), records.end());
    return out;
  }

  const size_t batch_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  platform::Mutex mu_;
  std::vector<FakeRecord> records_ GUARDED_BY(mu_);
  std::vector<ChangeRecord> changes_ GUARDED_BY(mu_);
  uint8_t answer_ GUARDED_BY(mu_) = kChangesUntracked;
  uint8_t laterAnswer_ GUARDED_BY(mu_) = kChangesUntracked;
  int queries_ GUARDED_BY(mu_) = 0;
  uint32_t db_ GUARDED_BY(mu_) = kDb;
  size_t failReadsFrom_ GUARDED_BY(mu_) = SIZE_MAX;
  uint32_t time_ GUARDED_BY(mu_) = 1000;
  size_t position_ GUARDED_BY(mu_) = 0;
  int seeks_ GUARDED_BY(mu_) = 0;
  int reads_ GUARDED_BY(mu_) = 0;
};

std::vector<FakeRecord> Ascending(uint32_t from, uint32_t to) {
  std::vector<FakeRecord> out;
  for (uint32_t oid = from; oid <= to; ++oid) out.push_back({oid, oid});
  return out;
}

ChangeRecord Modified(uint32_t oid) { return {3, 2000, 0, 0xFFFFFFFF, kDb, oid}; }

class SyncEngineTest : public ::testing::Test {
 protected:
  SyncEngineTest() : device_(4) {}

  ClassSyncResult SyncInto(const std::string& dir) {
    PeerClient client;
    EXPECT_TRUE(client.Connect("127.0.0.1", device_.port()));
    EXPECT_EQ(client.Hello(), kStatusOk);
    SyncOptions options;
    options.dir = dir;
    options.classes = {24};
    options.databases[24] = {"Fake Contacts"};
    std::vector<ClassSyncResult> results = Sync(client, options);
    EXPECT_EQ(results.size(), 1u);
    return results.empty() ? ClassSyncResult{} : results[0];
  }

  static nlohmann::json Records(const std::string& dir) {
    Mirror mirror;
    std::string error;
    EXPECT_TRUE(mirror.Open(dir, &error)) << error;
    return mirror.Records(24);
  }

  FakeDevice device_;
};

// Whatever order the database shows its records in, a fast sync ends where
// a slow sync of the same records does; where the order is the identifiers'
// it reads on instead of seeking.
TEST_F(SyncEngineTest, AFastSyncIsRightInAnyOrderAndQuickInIdentifierOrder) {
  struct Case {
    const char* name;
    std::vector<FakeRecord> before, after;  // in read order
    std::vector<uint32_t> modified;         // recorded as modified
    int most_seeks;                         // -1: any number
  };
  auto modify = [](std::vector<FakeRecord> records, std::vector<uint32_t> oids) {
    for (FakeRecord& r : records) {
      if (std::find(oids.begin(), oids.end(), r.oid) != oids.end()) r.value += 1000;
    }
    return records;
  };
  std::vector<FakeRecord> reversed = Ascending(1, 30);
  std::reverse(reversed.begin(), reversed.end());
  // 4 stands after 10 within one batch.
  const std::vector<FakeRecord> shuffled = {{1, 1}, {2, 2}, {3, 3}, {10, 10}, {4, 4}, {5, 5}, {6, 6}, {11, 11}};
  // 3 stands far from where identifier order would have it: no batch that
  // the sync reads shows it, one that covers its identifier lacks it.
  const std::vector<FakeRecord> displaced = {{1, 1}, {2, 2}, {4, 4}, {5, 5}, {6, 6},
                                             {7, 7}, {8, 8}, {9, 9}, {3, 3}};
  std::vector<FakeRecord> without_6 = modify(Ascending(1, 30), {5});
  without_6.erase(without_6.begin() + 5);
  const Case cases[] = {
      // One seek for the run 5 to 7, a read on for 9.
      {"identifier order", Ascending(1, 30), modify(Ascending(1, 30), {5, 6, 7, 9}), {5, 6, 7, 9}, 1},
      // 6 was deleted without a recorded delete: its batch lacks it; a
      // seek confirms it is gone, and one to the end that the database
      // still answers.
      {"a change whose record is gone since", Ascending(1, 30), without_6, {5, 6}, 3},
      {"reversed", reversed, modify(reversed, {10, 11, 20}), {10, 11, 20}, -1},
      {"shuffled within a batch", shuffled, modify(shuffled, {3, 4, 10}), {3, 4, 10}, -1},
      {"displaced beyond the batches read", displaced, modify(displaced, {1, 3}), {1, 3}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDir desk, fresh;
    device_.Set(c.before, {}, kChangesUntracked);
    ClassSyncResult slow = SyncInto(desk.path());
    ASSERT_EQ(slow.error, "");
    ASSERT_EQ(slow.mirrored, c.before.size());

    std::vector<ChangeRecord> changes;
    for (uint32_t oid : c.modified) changes.push_back(Modified(oid));
    device_.Set(c.after, changes, kChangesComplete);
    ClassSyncResult fast = SyncInto(desk.path());
    EXPECT_TRUE(fast.fast);
    EXPECT_EQ(fast.error, "");
    EXPECT_EQ(fast.moved, c.modified.size());
    if (c.most_seeks >= 0) {
      EXPECT_LE(device_.seeks(), c.most_seeks);
    }

    device_.Set(c.after, {}, kChangesUntracked);
    ASSERT_EQ(SyncInto(fresh.path()).error, "");
    EXPECT_EQ(Records(desk.path()), Records(fresh.path()));
  }
}

// Whatever the desktop reads, it commits a fast sync only when the log is
// still complete after the stream, reads a database replaced under its name
// anew, and takes a reading that stopped early for an error, not the end.
TEST_F(SyncEngineTest, ASyncCommitsOnlyWhatTheDeviceStillPromises) {
  struct Case {
    const char* name;
    uint8_t laterAnswer;   // the second sync-state query
    uint32_t replacedBy;   // 0: the database stays
    size_t failReadsFrom;  // SIZE_MAX: reads do not fail
    bool fast;
    bool fails;
  } cases[] = {
      {"complete throughout", kChangesComplete, 0, SIZE_MAX, true, false},
      {"lost while the stream was read", kChangesIncomplete, 0, SIZE_MAX, false, false},
      {"the database replaced", kChangesComplete, 200, SIZE_MAX, false, false},
      {"reads fail half-way", kChangesIncomplete, 0, 6, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDir desk;
    device_.Set(Ascending(1, 12), {}, kChangesUntracked);
    device_.Replace(kDb);
    ASSERT_EQ(SyncInto(desk.path()).error, "");
    const nlohmann::json before = Records(desk.path());

    std::vector<FakeRecord> after = Ascending(1, 12);
    after[2].value = 3000;  // recorded as modified
    after[8].value = 9000;  // modified, with the change not streamed
    device_.Set(after, {Modified(3)}, kChangesComplete);
    device_.AnswerLater(c.laterAnswer);
    device_.Replace(c.replacedBy != 0 ? c.replacedBy : kDb);
    device_.FailReadsFrom(c.failReadsFrom);
    ClassSyncResult result = SyncInto(desk.path());
    device_.FailReadsFrom(SIZE_MAX);
    EXPECT_EQ(result.fast, c.fast);
    if (c.fails) {
      EXPECT_NE(result.error, "");
      EXPECT_EQ(Records(desk.path()), before) << "nothing committed";
      continue;
    }
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(Records(desk.path()).size(), 12u);
    // A fast sync has only the streamed change; a slow one has both.
    const std::string key9 = std::to_string(c.replacedBy != 0 ? c.replacedBy : kDb) + ":9";
    const nlohmann::json records = Records(desk.path());
    ASSERT_TRUE(records.contains(key9)) << records.dump();
    EXPECT_EQ(records[key9].dump().find("9000") != std::string::npos, !c.fast) << records[key9].dump();
  }
}

}  // namespace
}  // namespace peer
