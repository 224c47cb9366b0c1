#include "platform/record_codec.h"

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

using platform::record_codec::ApplyWrite;
using platform::record_codec::DecodeRecord;
using platform::record_codec::EncodeRecord;
using platform::record_codec::PlanReadLayout;
using platform::record_codec::ReadLayout;
using platform::record_codec::StoredProperties;
using platform::record_codec::WriteReadLayout;

constexpr CEPROPID kShort = (1u << 16) | CEVT_I2;
constexpr CEPROPID kText = (2u << 16) | CEVT_LPWSTR;
constexpr CEPROPID kBlob = (3u << 16) | CEVT_BLOB;
constexpr CEPROPID kLong = (4u << 16) | CEVT_I4;
constexpr CEPROPID kOtherText = (5u << 16) | CEVT_LPWSTR;
constexpr CEPROPID kEmptyBlob = (6u << 16) | CEVT_BLOB;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

// A read buffer of exactly `size` bytes, aligned for CEPROPVAL.
struct Buffer {
  explicit Buffer(size_t size)
      : storage(size / sizeof(CEPROPVAL) + 1), bytes(reinterpret_cast<BYTE*>(storage.data())),
        size(size) {}
  const CEPROPVAL& at(size_t i) const { return reinterpret_cast<const CEPROPVAL*>(bytes)[i]; }
  bool Holds(const void* p, size_t count) const {
    auto* b = static_cast<const BYTE*>(p);
    return b >= bytes && b <= bytes + size && count <= static_cast<size_t>(bytes + size - b);
  }
  std::vector<CEPROPVAL> storage;
  BYTE* bytes;
  size_t size;
};

// The row form is what store.db holds: a change to it makes every existing
// device unreadable.
TEST(RecordCodec, RowFormIsStable) {
  if (std::endian::native != std::endian::little) GTEST_SKIP() << "the bytes below are little-endian";
  CEPROPVAL props[3] = {};
  props[0].propid = kShort;
  props[0].val.iVal = -2;
  props[1].propid = kText;
  props[1].val.lpwstr = const_cast<LPWSTR>(u"Hi");
  BYTE blob[] = {0xAA, 0xBB, 0xCC};
  props[2].propid = kBlob;
  props[2].val.blob = CEBLOB{3, blob};
  StoredProperties stored;
  ASSERT_TRUE(ApplyWrite(3, props, &stored));
  const std::string row = EncodeRecord(stored);
  const std::string expected = Bytes({0x02, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0xFE, 0xFF,
                                      0x1F, 0x00, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 'H', 0, 'i', 0,
                                      0x41, 0x00, 0x03, 0x00, 0x03, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC});
  EXPECT_EQ(row, expected);
  StoredProperties decoded;
  ASSERT_TRUE(DecodeRecord(row, &decoded));
  EXPECT_EQ(decoded, stored);
}

TEST(RecordCodec, DecodeRefusesRowsThatEndInsideAProperty) {
  const std::string whole = Bytes({0x03, 0, 0x04, 0, 0x04, 0, 0, 0, 1, 2, 3, 4});
  struct Case {
    const char* what;
    std::string row;
    bool ok;
    size_t count;
  } cases[] = {
      {"empty: no properties", "", true, 0},
      {"a zero-length value", Bytes({0x41, 0, 1, 0, 0, 0, 0, 0}), true, 1},
      {"one whole property", whole, true, 1},
      {"inside the identifier", Bytes({0x03, 0, 0x04}), false, 0},
      {"inside the length", Bytes({0x03, 0, 0x04, 0, 0x04, 0, 0}), false, 0},
      {"inside the value", whole.substr(0, whole.size() - 1), false, 0},
      {"a length past the end", Bytes({0x41, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1}), false, 0},
      {"a whole property, then part of one", whole + Bytes({0x03, 0}), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StoredProperties props = {{kLong, "left over"}};
    EXPECT_EQ(DecodeRecord(c.row, &props), c.ok);
    if (c.ok) {
      EXPECT_EQ(props.size(), c.count);
    }
  }
}

TEST(RecordCodec, WritesReplaceInPlaceAppendAndDelete) {
  StoredProperties stored = {{kShort, "\x01\x00"}, {kLong, "\x02\x00\x00\x00"}, {kBlob, "x"}};
  CEPROPVAL write[4] = {};
  write[0].propid = kLong;  // replaced where it is
  write[0].val.lVal = 7;
  write[1].propid = kShort;
  write[1].wFlags = CEDB_PROPDELETE;
  write[2].propid = kOtherText;
  write[2].wFlags = CEDB_PROPDELETE;  // not there: nothing happens
  write[3].propid = kText;            // added at the end
  write[3].val.lpwstr = const_cast<LPWSTR>(u"");
  ASSERT_TRUE(ApplyWrite(4, write, &stored));
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0].first, kLong);
  LONG value = 0;
  std::memcpy(&value, stored[0].second.data(), 4);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(stored[1].first, kBlob);
  EXPECT_EQ(stored[2], (std::pair<CEPROPID, std::string>(kText, "")));

  struct Refused {
    const char* what;
    CEPROPVAL prop;
  } refused[3] = {};
  refused[0] = {"an unknown type", {}};
  refused[0].prop.propid = (7u << 16) | 0x0099;
  refused[1] = {"a null string", {}};
  refused[1].prop.propid = kText;
  refused[2] = {"a blob with a count and no bytes", {}};
  refused[2].prop.propid = kBlob;
  refused[2].prop.val.blob = CEBLOB{4, nullptr};
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.what);
    StoredProperties props;
    EXPECT_FALSE(ApplyWrite(1, &r.prop, &props));
  }
}

TEST(RecordCodec, ReadLayoutPutsTheArrayThenStringsThenBlobsInsideTheBuffer) {
  const StoredProperties stored = {{kBlob, "\x01\x02\x03"},
                                   {kText, std::string("a\0b\0", 4)},
                                   {kEmptyBlob, ""},
                                   {kOtherText, ""},
                                   {kLong, std::string("\x05\x00\x00\x00", 4)}};
  const CEPROPID wanted[] = {kLong, kEmptyBlob, kText, kShort, kBlob, kOtherText};
  ReadLayout layout = PlanReadLayout(stored, 6, wanted);
  const size_t strings = (4 + 2) + (0 + 2);
  ASSERT_EQ(layout.size, 6 * sizeof(CEPROPVAL) + strings + 3);
  Buffer buffer(layout.size);
  WriteReadLayout(layout, buffer.bytes);

  const BYTE* after_array = buffer.bytes + 6 * sizeof(CEPROPVAL);
  EXPECT_EQ(buffer.at(0).propid, kLong);
  EXPECT_EQ(buffer.at(0).val.lVal, 5);
  // Strings first, in the array's order, each with its NUL.
  EXPECT_EQ(reinterpret_cast<const BYTE*>(buffer.at(2).val.lpwstr), after_array);
  EXPECT_EQ(std::u16string(buffer.at(2).val.lpwstr), u"ab");
  EXPECT_EQ(reinterpret_cast<const BYTE*>(buffer.at(5).val.lpwstr), after_array + 6);
  EXPECT_EQ(buffer.at(5).val.lpwstr[0], 0);
  // Then the blobs; an empty one still points into the buffer.
  EXPECT_EQ(buffer.at(1).val.blob.dwCount, 0u);
  EXPECT_TRUE(buffer.Holds(buffer.at(1).val.blob.lpb, 0));
  EXPECT_EQ(buffer.at(4).val.blob.lpb, after_array + strings);
  EXPECT_EQ(std::memcmp(buffer.at(4).val.blob.lpb, "\x01\x02\x03", 3), 0);
  // The property the record lacks.
  EXPECT_EQ(buffer.at(3).propid, kShort);
  EXPECT_EQ(buffer.at(3).wFlags, CEDB_PROPNOTFOUND);
  EXPECT_EQ(buffer.at(3).val.lVal, 0);

  // Without a list: every property, in the record's order.
  ReadLayout all = PlanReadLayout(stored, 0, nullptr);
  ASSERT_EQ(all.entries.size(), stored.size());
  for (size_t i = 0; i < stored.size(); ++i) EXPECT_EQ(all.entries[i].first, stored[i].first);
}

// What a row written by something else may hold: values of the wrong width,
// an unknown type, one identifier twice. The layout stays inside its buffer.
TEST(RecordCodec, ReadLayoutOfADamagedRowStaysInsideTheBuffer) {
  const StoredProperties stored = {
      {kLong, "\x09\x00"},                    // two bytes of an I4
      {kShort, std::string(40, '\x11')},      // far more than any member
      {(8u << 16) | 0x0099, "unknown type"},  // no string or blob space
      {kText, std::string("z\0", 2)},
      {kText, std::string("y\0", 2)},         // the same identifier again
  };
  ReadLayout all = PlanReadLayout(stored, 0, nullptr);
  EXPECT_EQ(all.size, 5 * sizeof(CEPROPVAL) + 2 * 4);
  Buffer buffer(all.size);
  WriteReadLayout(all, buffer.bytes);
  EXPECT_EQ(buffer.at(0).val.lVal, 9);  // the missing bytes read as 0
  EXPECT_EQ(buffer.at(1).val.iVal, 0x1111);
  EXPECT_EQ(std::memcmp(&buffer.at(2).val, "unknown type", 12), 0);  // as if fixed-size
  EXPECT_TRUE(buffer.Holds(buffer.at(4).val.lpwstr, 4));

  const CEPROPID wanted[] = {kText};
  ReadLayout one = PlanReadLayout(stored, 1, wanted);
  Buffer small(one.size);
  WriteReadLayout(one, small.bytes);
  EXPECT_EQ(std::u16string(small.at(0).val.lpwstr), u"y");  // the last one
}

// A string of an odd number of bytes would leave its NUL, and every string
// after it, off the code-unit grid: a caller measuring them could read past
// the buffer. The odd last byte is dropped instead.
TEST(RecordCodec, AStringOfAnOddByteCountIsLaidOutAsItsWholeCodeUnits) {
  const CEPROPID kOther = (7u << 16) | CEVT_LPWSTR;
  const StoredProperties stored = {
      {kText, std::string("a\0b", 3)},  // "a" and half of "b"
      {kOther, std::string("c\0", 2)},
  };
  ReadLayout layout = PlanReadLayout(stored, 0, nullptr);
  EXPECT_EQ(layout.size, 2 * sizeof(CEPROPVAL) + 4 + 4);
  Buffer buffer(layout.size);
  WriteReadLayout(layout, buffer.bytes);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const LPWSTR text = buffer.at(i).val.lpwstr;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(text) % alignof(WCHAR), 0u);
    EXPECT_TRUE(buffer.Holds(text, 4));
  }
  EXPECT_EQ(std::u16string(buffer.at(0).val.lpwstr), u"a");
  EXPECT_EQ(std::u16string(buffer.at(1).val.lpwstr), u"c");
}

}  // namespace
