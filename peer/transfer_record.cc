#include "peer/transfer_record.h"

#include <algorithm>

namespace peer {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool Fail(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
  return false;
}

// The string at `offset` of `block`, up to its NUL, which must lie inside.
bool ReadString(std::span<const uint8_t> block, uint32_t offset, std::u16string* out) {
  out->clear();
  for (size_t at = offset; at + 2 <= block.size(); at += 2) {
    char16_t c = static_cast<char16_t>(Le16(&block[at]));
    if (c == 0) return true;
    out->push_back(c);
  }
  return false;
}

bool DecodeProperty(std::span<const uint8_t> block, size_t i, Property* p, std::string* error) {
  const uint8_t* e = &block[kEntryBytes * i];
  p->propId = Le32(e);
  p->lenData = Le16(e + 4);
  p->flags = Le16(e + 6);
  std::copy(e + 8, e + 16, p->raw.begin());
  const uint8_t* v = e + 8;
  switch (p->type()) {
    case kTypeI2:
      p->integer = static_cast<int16_t>(ReadBe16(v));
      return true;
    case kTypeUI2:
      p->integer = ReadBe16(v);
      return true;
    case kTypeI4:
      p->integer = static_cast<int32_t>(ReadBe32(v));
      return true;
    case kTypeUI4:
      p->integer = ReadBe32(v);
      return true;
    case kTypeString: {
      uint32_t offset = Le32(v);
      if (!ReadString(block, offset, &p->text)) {
        return Fail(error, "property " + std::to_string(i) + ": string outside the record");
      }
      return true;
    }
    case kTypeBlob: {
      uint32_t count = ReadBe32(v);
      uint32_t offset = Le32(v + 4);
      if (offset > block.size() || block.size() - offset < count) {
        return Fail(error, "property " + std::to_string(i) + ": blob outside the record");
      }
      p->blob.assign(block.begin() + offset, block.begin() + offset + count);
      return true;
    }
    default:
      return true;
  }
}

}  // namespace

bool DecodeRecord(std::span<const uint8_t> bytes, Record* record, size_t* consumed,
                  std::string* error) {
  if (bytes.size() < kRecordHeaderBytes) return Fail(error, "record header cut short");
  record->oid = ReadBe32(&bytes[0]);
  uint32_t count = ReadBe32(&bytes[4]);
  record->blockBytes = ReadBe32(&bytes[8]);
  if (bytes.size() - kRecordHeaderBytes < record->blockBytes) {
    return Fail(error, "property block runs past the reply");
  }
  if (count > record->blockBytes / kEntryBytes) {
    return Fail(error, "more properties than the block holds");
  }
  std::span<const uint8_t> block = bytes.subspan(kRecordHeaderBytes, record->blockBytes);
  record->props.assign(count, Property{});
  for (size_t i = 0; i < count; ++i) {
    if (!DecodeProperty(block, i, &record->props[i], error)) return false;
  }
  *consumed = kRecordHeaderBytes + record->blockBytes;
  return true;
}

bool DecodeRecords(std::span<const uint8_t> bytes, uint32_t count,
                   std::vector<Record>* records, std::string* error) {
  records->clear();
  size_t at = 0;
  for (uint32_t i = 0; i < count; ++i) {
    Record record;
    size_t used = 0;
    if (!DecodeRecord(bytes.subspan(at), &record, &used, error)) return false;
    records->push_back(std::move(record));
    at += used;
  }
  if (at != bytes.size()) return Fail(error, "bytes left after the last record");
  return true;
}

}  // namespace peer
