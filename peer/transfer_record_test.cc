#include "peer/transfer_record.h"

#include <gtest/gtest.h>

namespace peer {
namespace {

Bytes Le32Bytes(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes Be32Bytes(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// One 16-byte entry: identifier, wLenData 0, wFlags 0, the 8 value bytes.
Bytes Entry(uint32_t propId, Bytes value) {
  value.resize(8, 0);
  return Cat({Le32Bytes(propId), {0, 0, 0, 0}, value});
}

Bytes Record(uint32_t oid, uint32_t count, const Bytes& block) {
  return Cat({Be32Bytes(oid), Be32Bytes(count), Be32Bytes(static_cast<uint32_t>(block.size())), block});
}

TEST(TransferRecordTest, DecodesEveryKindOfValue) {
  // Five entries (80 bytes): the string at 80, the blob at 86.
  Bytes block = Cat({Entry(0x10002, {0xFF, 0xFE}), Entry(0x20013, {0, 0, 0, 1}),
                     Entry(0x3001F, Le32Bytes(80)), Entry(0x40041, Cat({Be32Bytes(3), Le32Bytes(86)})),
                     Entry(0x50040, {1, 2, 3, 4, 5, 6, 7, 8}), {'h', 0, 'i', 0, 0, 0}, {7, 8, 9}});
  Bytes bytes = Record(0xAABBCCDD, 5, block);
  struct Record record;
  size_t used = 0;
  std::string error;
  ASSERT_TRUE(DecodeRecord(bytes, &record, &used, &error)) << error;
  EXPECT_EQ(used, bytes.size());
  EXPECT_EQ(record.oid, 0xAABBCCDDu);
  ASSERT_EQ(record.props.size(), 5u);
  EXPECT_EQ(record.props[0].integer, -2);
  EXPECT_EQ(record.props[1].integer, 1);
  EXPECT_EQ(record.props[2].text, u"hi");
  EXPECT_EQ(record.props[3].blob, Bytes({7, 8, 9}));
  EXPECT_EQ(record.props[4].raw, (std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(record.props[4].type(), kTypeFileTime);
}

TEST(TransferRecordTest, RefusesRecordsThatDoNotHoldTogether) {
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const Case cases[] = {
      {"header cut short", {0, 0, 0, 1, 0, 0}},
      {"block past the bytes", Cat({Be32Bytes(1), Be32Bytes(0), Be32Bytes(20), Bytes(19, 0)})},
      {"more entries than the block holds", Record(1, 2, Entry(0x10013, {}))},
      {"string offset past the block", Record(1, 1, Entry(0x1001F, Le32Bytes(99)))},
      {"string without its NUL", Record(1, 1, Cat({Entry(0x1001F, Le32Bytes(16)), {'a', 0}}))},
      {"blob running past the block",
       Record(1, 1, Cat({Entry(0x10041, Cat({Be32Bytes(4), Le32Bytes(16)})), {1, 2, 3}}))},
      {"blob offset overflowing",
       Record(1, 1, Entry(0x10041, Cat({Be32Bytes(0xFFFFFFFF), Le32Bytes(0xFFFFFFF0)})))},
  };
  for (const Case& c : cases) {
    struct Record record;
    size_t used = 0;
    std::string error;
    EXPECT_FALSE(DecodeRecord(c.bytes, &record, &used, &error)) << "case " << c.name;
    EXPECT_FALSE(error.empty()) << "case " << c.name;
  }
}

TEST(TransferRecordTest, BatchMustBeFilledExactlyByItsRecords) {
  Bytes two = Cat({Record(1, 0, {}), Record(2, 1, Entry(0x10013, {0, 0, 0, 9}))});
  std::vector<struct Record> records;
  ASSERT_TRUE(DecodeRecords(two, 2, &records));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].props[0].integer, 9);
  EXPECT_FALSE(DecodeRecords(two, 1, &records)) << "bytes left over";
  EXPECT_FALSE(DecodeRecords(two, 3, &records)) << "a record missing";
}

}  // namespace
}  // namespace peer
