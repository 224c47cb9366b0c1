// Remote database access over loopback, through the desktop side's
// requests: open, seek, batched reads in transfer form, close, and the
// handles the peer may not touch.
#include "server/remote_db.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "peer/device_requests.h"
#include "platform/kernel.h"
#include "server/loopback_fixture.h"

namespace {

using hmtest::Be32;
using hmtest::Bytes;
using hmtest::Cat;

constexpr DWORD kType = 77;

CEPROPVAL BlobProp(CEPROPID id, Bytes& bytes) {
  CEPROPVAL v{};
  v.propid = id;
  v.val.blob.dwCount = static_cast<DWORD>(bytes.size());
  v.val.blob.lpb = bytes.data();
  return v;
}

class RemoteDbTest : public hmtest::LoopbackServerTest {
 protected:
  void SetUp() override {
    LoopbackServerTest::SetUp();
    SayHello();
    dbOid_ = MakeDatabase(kType, u"Remote");
    CEOID oid = dbOid_;
    db_ = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
    ASSERT_NE(db_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    CloseHandle(db_);
    LoopbackServerTest::TearDown();
  }

  CEOID Write(std::vector<CEPROPVAL> props) {
    CEOID oid = CeWriteRecordProps(db_, 0, static_cast<WORD>(props.size()), props.data());
    EXPECT_NE(oid, 0u);
    return oid;
  }
  // A record of one blob whose transfer form is exactly `transferBytes`.
  CEOID WriteSized(size_t transferBytes) {
    Bytes blob(transferBytes - 12 - 16, 0x5A);
    return Write({BlobProp(0x00010041, blob)});
  }

  DWORD Open() {
    DWORD handle = 0, oid = 0;
    EXPECT_TRUE(peer::OpenDb(peer_, dbOid_, u"", peer::kOpenAutoIncrement, &handle, &oid).ok());
    return handle;
  }
  std::vector<peer::Record> Read(DWORD handle) {
    std::vector<peer::Record> records;
    peer::Reply reply = peer::ReadRecords(peer_, handle, &records);
    EXPECT_TRUE(reply.ok()) << reply.error;
    return records;
  }

  CEOID dbOid_ = 0;
  HANDLE db_ = INVALID_HANDLE_VALUE;
};

TEST_F(RemoteDbTest, OpensByNameOrByIdentifierWithoutLookingAtTheName) {
  struct Case {
    const char* name;
    DWORD oid;
    std::u16string dbName;
    bool opens;
  };
  const Case cases[] = {
      {"by name", 0, u"Remote", true},
      {"by identifier, name ignored", dbOid_, u"No such database", true},
      {"by a name that does not exist", 0, u"Missing", false},
      {"by an identifier that does not exist", dbOid_ + 1000, u"Remote", false},
  };
  for (const Case& c : cases) {
    DWORD handle = 0, oid = 0;
    ASSERT_TRUE(peer::OpenDb(peer_, c.oid, c.dbName, 0, &handle, &oid).ok()) << "case " << c.name;
    if (c.opens) {
      EXPECT_NE(handle, peer::kInvalidHandle) << "case " << c.name;
      EXPECT_EQ(oid, dbOid_) << "case " << c.name;
      EXPECT_TRUE(peer::CloseDb(peer_, handle).ok());
    } else {
      EXPECT_EQ(handle, peer::kInvalidHandle) << "case " << c.name;
    }
  }
}

TEST_F(RemoteDbTest, EmptyDatabaseReadsAnEmptyBatch) {
  DWORD handle = Open();
  EXPECT_EQ(Command(Cat({{13}, Be32(handle)})),
            Bytes({0xA0, 0x00, 0x0F, 0x49, 0x00, 0x0C, 0x0D, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(RemoteDbTest, BatchesHoldWholeRecordsOnly) {
  CEOID first = WriteSized(1000);
  CEOID second = WriteSized(1000);
  CEOID third = WriteSized(1000);
  DWORD handle = Open();
  Bytes reply = Command(Cat({{13}, Be32(handle)}));
  ASSERT_EQ(reply.size(), 15u + 2000);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 15),
            Cat({{0xA0, 0x07, 0xDF, 0x49, 0x07, 0xDC, 0x0D}, Be32(2), Be32(2000)}));
  EXPECT_EQ(Bytes(reply.begin() + 15, reply.begin() + 19), Be32(first));
  EXPECT_EQ(Bytes(reply.begin() + 1015, reply.begin() + 1019), Be32(second));
  std::vector<peer::Record> batch = Read(handle);
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch[0].oid, third);
  EXPECT_TRUE(Read(handle).empty());
}

TEST_F(RemoteDbTest, RecordTooLargeForTheBufferStopsEveryBatchAtItself) {
  // One byte more than the record buffer, and far more (a record whose read
  // buffer alone exceeds what any fitting record could need).
  for (size_t size : {size_t{2034}, size_t{4000}}) {
    CEOID small = WriteSized(100);
    WriteSized(size);
    CEOID after = WriteSized(100);
    DWORD handle = Open();
    DWORD index = 0, oid = 0;
    ASSERT_TRUE(peer::SeekDb(peer_, handle, peer::kSeekCeoid, small, &index, &oid).ok());
    std::vector<peer::Record> batch = Read(handle);
    ASSERT_EQ(batch.size(), 1u) << "size " << size;
    EXPECT_EQ(batch[0].oid, small) << "size " << size;
    EXPECT_TRUE(Read(handle).empty()) << "size " << size;
    EXPECT_TRUE(Read(handle).empty()) << "still positioned on it; size " << size;
    // Skipping past it by hand, the peer reads on.
    ASSERT_TRUE(peer::SeekDb(peer_, handle, peer::kSeekCeoid, after, &index, &oid).ok());
    batch = Read(handle);
    ASSERT_EQ(batch.size(), 1u) << "size " << size;
    EXPECT_EQ(batch[0].oid, after) << "size " << size;
    ASSERT_TRUE(peer::CloseDb(peer_, handle).ok());
  }
}

TEST_F(RemoteDbTest, LargestRecordThatFitsFillsTheReplyToTheBuffersSize) {
  WriteSized(40);
  CEOID fits = WriteSized(2033);
  DWORD handle = Open();
  std::vector<peer::Record> batch = Read(handle);
  ASSERT_EQ(batch.size(), 1u) << "the second record waits for a batch of its own";
  Bytes reply = Command(Cat({{13}, Be32(handle)}));
  ASSERT_EQ(reply.size(), 2048u);
  EXPECT_EQ(Bytes(reply.begin() + 15, reply.begin() + 19), Be32(fits));
}

TEST_F(RemoteDbTest, SeekByIdentifierAnswersIndexThenIdentifier) {
  WriteSized(50);
  CEOID second = WriteSized(50);
  DWORD handle = Open();
  EXPECT_EQ(Command(Cat({{12}, Be32(handle), Be32(1), Be32(second)})),
            Cat({{0xA0, 0x00, 0x0F, 0x49, 0x00, 0x0C, 0x0C}, Be32(1), Be32(second)}));
  std::vector<peer::Record> batch = Read(handle);
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch[0].oid, second);
  // A failed seek: record 0, and the index the platform left (untouched).
  EXPECT_EQ(Command(Cat({{12}, Be32(handle), Be32(1), Be32(0x7FFFFFFF)})),
            Cat({{0xA0, 0x00, 0x0F, 0x49, 0x00, 0x0C, 0x0C}, Be32(0xFFFFFFFF), Be32(0)}));
}

TEST_F(RemoteDbTest, ClosedOrUnknownHandlesBehaveAsInvalid) {
  WriteSized(50);
  DWORD handle = Open();
  EXPECT_EQ(Command(Cat({{11}, Be32(0x12345)})), Bytes({0xA0, 0x00, 0x03})) << "never opened";
  EXPECT_EQ(Command(Cat({{11}, Be32(handle)})), Bytes({0xA0, 0x00, 0x03}));
  EXPECT_EQ(Command(Cat({{11}, Be32(handle)})), Bytes({0xA0, 0x00, 0x03})) << "closed twice";
  EXPECT_TRUE(Read(handle).empty());
  DWORD index = 0, oid = 1;
  ASSERT_TRUE(peer::SeekDb(peer_, handle, peer::kSeekBeginning, 0, &index, &oid).ok());
  EXPECT_EQ(oid, 0u);
  EXPECT_EQ(index, 0xFFFFFFFFu);
}

// The server's own tracked databases and logs are open in the same process;
// a peer naming their handles must not close, move or read them.
TEST_F(RemoteDbTest, HandlesOfTheServersOwnDatabasesAreRefused) {
  MakeDatabase(24, u"Contacts");
  TrackedDb* node = Track(24);
  Record(node, 0, 100, 1);
  Record(node, 0, 101, 2);
  HANDLE logHandle;
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    logHandle = node->pLog->LogDbHandle();
  }
  for (HANDLE own : {node->hDb, logHandle}) {
    EXPECT_TRUE(Read(own).empty());
    DWORD index = 0, oid = 1;
    ASSERT_TRUE(peer::SeekDb(peer_, own, peer::kSeekEnd, 0, &index, &oid).ok());
    EXPECT_EQ(oid, 0u);
    ASSERT_TRUE(peer::CloseDb(peer_, own).ok());
  }
  platform::MutexLock locked(&TrackingState::systemLock);
  EXPECT_NE(CeSeekDatabase(node->pLog->LogDbHandle(), CEDB_SEEK_BEGINNING, 0, nullptr), 0u)
      << "the log's handle is still open";
  EXPECT_TRUE(node->pLog->WriteEntry(0, 102, 3, kNoUid)) << "tracking goes on";
}

TEST_F(RemoteDbTest, RecordsArriveInTransferFormAndDecodeToWhatWasWritten) {
  WCHAR text[] = u"Hello";
  Bytes blob{1, 2, 3, 4, 5};
  std::vector<CEPROPVAL> props(7);
  props[0].propid = 0x00010002;
  props[0].val.iVal = -2;
  props[1].propid = 0x00020013;
  props[1].val.ulVal = 1;
  props[2].propid = 0x0003001F;
  props[2].val.lpwstr = text;
  props[3] = BlobProp(0x00040041, blob);
  props[4].propid = 0x00050040;
  props[4].val.filetime = FILETIME{0x11223344, 0x01D00000};
  props[5].propid = 0x0006000B;
  props[5].val.boolVal = 1;
  props[6].propid = 0x00070003;
  props[6].val.lVal = -100000;
  CEOID oid = Write(props);

  DWORD handle = Open();
  std::vector<peer::Record> batch = Read(handle);
  ASSERT_EQ(batch.size(), 1u);
  const peer::Record& r = batch[0];
  EXPECT_EQ(r.oid, oid);
  ASSERT_EQ(r.props.size(), 7u);
  // The device's block: 16-byte entries, then the string and the blob.
  EXPECT_GE(r.blockBytes, 7u * 16 + 12 + 5);
  EXPECT_LT(r.blockBytes, 7u * 24) << "not the host's 24-byte entries";
  EXPECT_EQ(r.props[0].integer, -2);
  EXPECT_EQ(r.props[1].integer, 1);
  EXPECT_EQ(r.props[2].text, u"Hello");
  EXPECT_EQ(r.props[3].blob, blob);
  EXPECT_EQ(r.props[4].raw, (std::array<uint8_t, 8>{0x44, 0x33, 0x22, 0x11, 0, 0, 0xD0, 0x01}));
  EXPECT_EQ(r.props[5].raw[0], 1);
  EXPECT_EQ(r.props[6].integer, -100000);
  for (size_t i = 0; i < props.size(); ++i) EXPECT_EQ(r.props[i].propId, props[i].propid);
}

}  // namespace
