#include "server/record_encoding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

// A read buffer laid out as the platform lays one out: native CEPROPVALs,
// then the data they point into. Data is placed at chosen offsets from the
// end of the entries so that a test can name where it lands.
class NativeBlock {
 public:
  explicit NativeBlock(size_t cProps, size_t cbData)
      : bytes_(kNativePropValSize * cProps + cbData, 0xCC), count_(cProps) {
    std::memset(bytes_.data(), 0, kNativePropValSize * cProps);
  }

  CEPROPVAL& Entry(size_t i) {
    return *reinterpret_cast<CEPROPVAL*>(bytes_.data() + kNativePropValSize * i);
  }
  BYTE* Data(size_t offset) { return bytes_.data() + kNativePropValSize * count_ + offset; }

  void SetString(size_t i, CEPROPID id, size_t dataOffset, const std::u16string& s) {
    Entry(i).propid = id;
    std::memcpy(Data(dataOffset), s.c_str(), (s.size() + 1) * sizeof(char16_t));
    Entry(i).val.lpwstr = reinterpret_cast<LPWSTR>(Data(dataOffset));
  }
  void SetBlob(size_t i, CEPROPID id, size_t dataOffset, const Bytes& b) {
    Entry(i).propid = id;
    std::memcpy(Data(dataOffset), b.data(), b.size());
    Entry(i).val.blob.dwCount = static_cast<DWORD>(b.size());
    Entry(i).val.blob.lpb = Data(dataOffset);
  }

  const BYTE* data() const { return bytes_.data(); }
  DWORD size() const { return static_cast<DWORD>(bytes_.size()); }
  WORD count() const { return static_cast<WORD>(count_); }

 private:
  Bytes bytes_;
  size_t count_;
};

Bytes Convert(const NativeBlock& block) {
  Bytes out(DeviceBlockSize(block.size(), block.count()), 0xEE);
  EXPECT_TRUE(ConvertRecordProps(block.data(), block.size(), block.count(), out.data()));
  return out;
}

Bytes Slice(const Bytes& b, size_t at, size_t n) {
  return Bytes(b.begin() + at, b.begin() + at + n);
}

TEST(RecordEncodingTest, IntegersBecomeBigEndianAndOtherValuesStayAsTheyAre) {
  FILETIME ft{0x11223344, 0x55667788};
  NativeBlock block(6, 0);
  block.Entry(0).propid = 0x00010002;  // I2
  block.Entry(0).val.iVal = -2;
  block.Entry(1).propid = 0x00020013;  // UI4
  block.Entry(1).val.ulVal = 1;
  block.Entry(2).propid = 0x00030012;  // UI2
  block.Entry(2).val.uiVal = 0x1234;
  block.Entry(3).propid = 0x00040003;  // I4
  block.Entry(3).val.lVal = -0x01020304;
  block.Entry(4).propid = 0x00050040;  // FILETIME
  block.Entry(4).val.filetime = ft;
  block.Entry(5).propid = 0x0006000B;  // BOOL
  block.Entry(5).val.boolVal = 1;
  block.Entry(5).wLenData = 0xABCD;
  block.Entry(5).wFlags = 0x0100;

  Bytes out = Convert(block);
  ASSERT_EQ(out.size(), 6u * 16);

  struct Case {
    const char* name;
    size_t entry;
    Bytes value;  // the first bytes of the 8-byte value
  };
  const Case cases[] = {
      {"I2 -2", 0, {0xFF, 0xFE}},
      {"UI4 1", 1, {0x00, 0x00, 0x00, 0x01}},
      {"UI2", 2, {0x12, 0x34}},
      {"I4", 3, {0xFE, 0xFD, 0xFC, 0xFC}},
      {"FILETIME", 4, {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55}},
      {"BOOL", 5, {0x01, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    size_t at = 16 * c.entry;
    CEPROPID id = block.Entry(c.entry).propid;
    EXPECT_EQ(Slice(out, at, 4), Bytes({BYTE(id), BYTE(id >> 8), BYTE(id >> 16), BYTE(id >> 24)}))
        << "case " << c.name;
    EXPECT_EQ(Slice(out, at + 8, c.value.size()), c.value) << "case " << c.name;
  }
  // wLenData and wFlags stay in the device's order.
  EXPECT_EQ(Slice(out, 16 * 5 + 4, 4), Bytes({0xCD, 0xAB, 0x00, 0x01}));
}

TEST(RecordEncodingTest, StringAndBlobPointersBecomeOffsetsFromTheBlockStart) {
  // Two entries end at device byte 32; the string is placed 16 bytes into
  // the data (device offset 48) and the blob at device offset 64.
  NativeBlock block(2, 40);
  block.SetString(0, 0x0001001F, 16, u"ab");
  block.SetBlob(1, 0x00020041, 32, {1, 2, 3, 4, 5});

  Bytes out = Convert(block);
  ASSERT_EQ(out.size(), 32u + 40);
  EXPECT_EQ(Slice(out, 8, 4), Bytes({0x30, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Slice(out, 48, 6), Bytes({'a', 0, 'b', 0, 0, 0}));
  EXPECT_EQ(Slice(out, 16 + 8, 8), Bytes({0x00, 0x00, 0x00, 0x05, 0x40, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Slice(out, 64, 5), Bytes({1, 2, 3, 4, 5}));
}

TEST(RecordEncodingTest, WholeRecordCarriesHeaderAndFitsOnlyWhenThereIsRoom) {
  NativeBlock block(1, 8);
  block.SetBlob(0, 0x00070041, 0, {9, 8, 7});
  DWORD total = TransferRecordSize(block.size(), block.count());
  ASSERT_EQ(total, 12u + 16 + 8);

  Bytes out(total, 0);
  EXPECT_EQ(AppendTransferRecord(0x01020304, block.data(), block.size(), block.count(),
                                 out.data(), total - 1),
            0u);
  EXPECT_EQ(out, Bytes(total, 0)) << "a record that does not fit writes nothing";
  ASSERT_EQ(AppendTransferRecord(0x01020304, block.data(), block.size(), block.count(),
                                 out.data(), total),
            total);
  EXPECT_EQ(Slice(out, 0, 12), Bytes({1, 2, 3, 4, 0, 0, 0, 1, 0, 0, 0, 24}));
  EXPECT_EQ(Slice(out, 12 + 8, 8), Bytes({0, 0, 0, 3, 16, 0, 0, 0}));
  EXPECT_EQ(Slice(out, 12 + 16, 3), Bytes({9, 8, 7}));
}

TEST(RecordEncodingTest, EmptyRecordIsAHeaderWithTheReportedBlockSize) {
  Bytes out(12, 0xEE);
  ASSERT_EQ(AppendTransferRecord(0x42, nullptr, 0, 0, out.data(), 12), 12u);
  EXPECT_EQ(out, Bytes({0, 0, 0, 0x42, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(RecordEncodingTest, PointersOutsideTheBufferAreNeverFollowed) {
  NativeBlock block(3, 4);
  std::memset(block.Data(0), 'x', 4);  // no NUL anywhere in the data
  block.Entry(0).propid = 0x0001001F;
  block.Entry(0).val.lpwstr = reinterpret_cast<LPWSTR>(block.Data(0));
  block.Entry(1).propid = 0x00020041;
  block.Entry(1).val.blob.dwCount = 5;  // one byte more than the data holds
  block.Entry(1).val.blob.lpb = block.Data(0);
  block.Entry(2).propid = 0x0003001F;
  block.Entry(2).val.lpwstr = reinterpret_cast<LPWSTR>(0x10);

  Bytes out = Convert(block);
  EXPECT_EQ(Slice(out, 8, 8), Bytes(8, 0)) << "string without its NUL";
  EXPECT_EQ(Slice(out, 16 + 8, 8), Bytes(8, 0)) << "blob running past the buffer";
  EXPECT_EQ(Slice(out, 32 + 8, 8), Bytes(8, 0)) << "pointer outside the buffer";
}

TEST(RecordEncodingTest, BufferTooSmallForItsEntriesIsRefused) {
  Bytes native(kNativePropValSize * 2 - 1, 0);
  EXPECT_EQ(TransferRecordSize(static_cast<DWORD>(native.size()), 2), 0u);
  EXPECT_FALSE(ConvertRecordProps(native.data(), static_cast<DWORD>(native.size()), 2, nullptr));
  Bytes out(64, 0);
  EXPECT_EQ(AppendTransferRecord(1, native.data(), static_cast<DWORD>(native.size()), 2,
                                 out.data(), 64),
            0u);
}

}  // namespace
