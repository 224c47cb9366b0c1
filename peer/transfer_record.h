// Records as the device's read-records command sends them, decoded back
// into properties on the desktop side.
//
// One record: its object identifier, property count and block size (each
// 32-bit big-endian), then the property block: 16-byte entries (identifier,
// wLenData and wFlags little-endian, then an 8-byte value) followed by the
// string and blob data they refer to. Integers of types I2/UI2/I4/UI4 are
// big-endian in the value; a string's value is its offset from the block's
// start (32-bit little-endian), its characters UTF-16 little-endian up to a
// NUL; a blob's value is its byte count (big-endian) and offset
// (little-endian); every other value is the device's 8 bytes as they are.
//
// Decoding trusts nothing: an entry, offset, count or string that does not
// lie within the record is an error, and nothing outside the given bytes is
// read.
#ifndef HOLLOWMARCH_PEER_TRANSFER_RECORD_H_
#define HOLLOWMARCH_PEER_TRANSFER_RECORD_H_

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "peer/frame.h"

namespace peer {

// Property types, the low 16 bits of a property identifier.
constexpr uint16_t kTypeI2 = 2;
constexpr uint16_t kTypeI4 = 3;
constexpr uint16_t kTypeR8 = 5;
constexpr uint16_t kTypeBool = 11;
constexpr uint16_t kTypeUI2 = 18;
constexpr uint16_t kTypeUI4 = 19;
constexpr uint16_t kTypeString = 31;
constexpr uint16_t kTypeFileTime = 64;
constexpr uint16_t kTypeBlob = 65;

constexpr size_t kRecordHeaderBytes = 12;
constexpr size_t kEntryBytes = 16;

struct Property {
  uint32_t propId = 0;
  uint16_t lenData = 0;
  uint16_t flags = 0;
  // The value's 8 bytes as sent.
  std::array<uint8_t, 8> raw{};
  // I2 and I4 sign-extended, UI2 and UI4 as they are; 0 for other types.
  int64_t integer = 0;
  std::u16string text;  // strings
  Bytes blob;           // blobs

  uint16_t type() const { return static_cast<uint16_t>(propId & 0xFFFF); }
  bool operator==(const Property&) const = default;
};

struct Record {
  uint32_t oid = 0;
  uint32_t blockBytes = 0;
  std::vector<Property> props;
  bool operator==(const Record&) const = default;
};

// Decodes the record at the start of `bytes` into *record and stores the
// bytes it took (12 + block size) in *consumed. False with a reason in
// *error (when not null) for a record that does not hold together.
bool DecodeRecord(std::span<const uint8_t> bytes, Record* record, size_t* consumed,
                  std::string* error = nullptr);

// Decodes `count` records that fill `bytes` exactly.
bool DecodeRecords(std::span<const uint8_t> bytes, uint32_t count,
                   std::vector<Record>* records, std::string* error = nullptr);

}  // namespace peer

#endif  // HOLLOWMARCH_PEER_TRANSFER_RECORD_H_
