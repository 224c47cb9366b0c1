// Seeks that report or use a record's index, in databases large enough to be
// given an order index, checked against a plain list of the database's
// identifiers after every kind of change that moves records' indexes.
#include "platform/record_order.h"

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "tests/support/temp_device.h"

namespace {

using platform::store::kRecordOrderStride;

constexpr CEPROPID kNumberProp = (2u << 16) | CEVT_UI4;

class RecordOrderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = Open(u"big");
    other_ = Open(u"other");
    // Records of another database in between: identifiers of one database
    // are not consecutive.
    for (int i = 0; i < 3 * kRecordOrderStride + 17; ++i) {
      oids_.push_back(Append(db_));
      if (i % 3 == 0) Append(other_);
    }
  }
  void TearDown() override {
    CloseHandle(db_);
    CloseHandle(other_);
  }

  HANDLE Open(const char16_t* name) {
    CEOID oid = CeCreateDatabase(name, 24, 0, nullptr);
    EXPECT_NE(oid, 0u);
    return CeOpenDatabase(&oid, nullptr, 0, 0, 0);
  }
  static CEOID Append(HANDLE db) {
    CEPROPVAL p{};
    p.propid = kNumberProp;
    return CeWriteRecordProps(db, 0, 1, &p);
  }
  void Delete(size_t at) {
    ASSERT_TRUE(CeDeleteRecord(db_, oids_[at]));
    oids_.erase(oids_.begin() + static_cast<std::ptrdiff_t>(at));
  }

  // Every probe, asked more than once (the first questions about an
  // unchanged database are answered without an order index, the later ones
  // with it): the index a seek by identifier reports, the record a seek
  // from the beginning finds, and a seek relative to each.
  void ExpectOrder(const std::string& after) {
    std::vector<size_t> probes = {0, 1, static_cast<size_t>(kRecordOrderStride) - 1,
                                  static_cast<size_t>(kRecordOrderStride),
                                  static_cast<size_t>(kRecordOrderStride) + 1, oids_.size() / 2,
                                  oids_.size() - 2, oids_.size() - 1};
    for (int round = 0; round < 3; ++round) {
      for (size_t at : probes) {
        std::string where = after + ", index " + std::to_string(at) + ", round " +
                            std::to_string(round);
        DWORD index = 0xFFFFFFFF;
        EXPECT_EQ(CeSeekDatabase(db_, CEDB_SEEK_CEOID, oids_[at], &index), oids_[at]) << where;
        EXPECT_EQ(index, at) << where;
        EXPECT_EQ(CeSeekDatabase(db_, CEDB_SEEK_BEGINNING, static_cast<DWORD>(at), &index),
                  oids_[at])
            << where;
        EXPECT_EQ(index, at) << where;
        if (at > 0) {
          EXPECT_EQ(CeSeekDatabase(db_, CEDB_SEEK_CURRENT, static_cast<DWORD>(-1), &index),
                    oids_[at - 1])
              << where;
          EXPECT_EQ(index, at - 1) << where;
        }
      }
      DWORD index = 0;
      EXPECT_EQ(CeSeekDatabase(db_, CEDB_SEEK_BEGINNING, static_cast<DWORD>(oids_.size()), &index),
                0u)
          << after << ": past the end";
    }
  }

  hmtest::TempDevice device_;
  HANDLE db_ = INVALID_HANDLE_VALUE;
  HANDLE other_ = INVALID_HANDLE_VALUE;
  std::vector<CEOID> oids_;
};

TEST_F(RecordOrderTest, IndexesStayRightThroughEveryChange) {
  ExpectOrder("unchanged");
  Delete(0);
  ExpectOrder("first record deleted");
  Delete(static_cast<size_t>(kRecordOrderStride));
  ExpectOrder("record on a mark deleted");
  oids_.push_back(Append(db_));
  ExpectOrder("record added");
  // One more and one fewer: the count is what it was.
  oids_.push_back(Append(db_));
  Delete(5);
  ExpectOrder("record added and another deleted");
  Delete(oids_.size() - 1);
  ExpectOrder("last record deleted");
  // Changes to another database and rewrites of a record move nothing.
  Append(other_);
  CEPROPVAL p{};
  p.propid = kNumberProp;
  p.val.ulVal = 7;
  ASSERT_EQ(CeWriteRecordProps(db_, oids_[3], 1, &p), oids_[3]);
  ExpectOrder("other database grown, record rewritten");
}

TEST_F(RecordOrderTest, ChangesOnAnotherThreadAreSeen) {
  ExpectOrder("unchanged");
  std::thread writer([&] {
    CEOID oid = oids_[10];
    EXPECT_TRUE(CeDeleteRecord(db_, oid));
    oids_.erase(oids_.begin() + 10);
    oids_.push_back(Append(db_));
  });
  writer.join();
  ExpectOrder("changed on another thread");
}

}  // namespace
