// How the object store keeps a record's properties in its SQLite row, and how
// they come from a write's CEPROPVAL array and go into a read's buffer
// (internal to the object store).
//
// Row form (the `props` blob of a record's row). The properties in their
// order, each as
//   identifier   4 bytes, host order
//   length       4 bytes, host order: the value's byte count
//   value        I2, UI2: 2 bytes; I4, UI4, BOOL: 4; R8, FILETIME: 8, each
//                the CEVALUNION member's bytes in host order; LPWSTR: the
//                UTF-16 code units without the NUL; BLOB: the bytes
// and nothing else (no count, no padding). The empty row is the record
// without properties. This form is what store.db holds, so it must not
// change without a migration.
//
// A row this system wrote has whole properties, each identifier at most once,
// known types only and the lengths above. A damaged row (the file was
// changed by something else) may break any of that except the first:
// DecodeRecord refuses a row that does not divide into whole properties and
// accepts the rest; the read layout then copies at most a fixed-size
// member's width, lays a string out at its whole code units (an odd last
// byte is dropped, so every string stays aligned and NUL-terminated) and
// blobs at the length they have.
//
// Every function is pure and may be called from any thread.
#ifndef HOLLOWMARCH_PLATFORM_RECORD_CODEC_H_
#define HOLLOWMARCH_PLATFORM_RECORD_CODEC_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/property_value.h"
#include "platform/types.h"

namespace platform::record_codec {

// One property as stored: its identifier and its value bytes.
using StoredProperty = std::pair<CEPROPID, std::string>;
using StoredProperties = std::vector<StoredProperty>;

// The row form of `props`, in their order.
std::string EncodeRecord(const StoredProperties& props);
// The properties of a row, in its order, into *props (replacing what it
// held). False when the bytes end inside a property's identifier, length or
// value; *props is then not to be used.
bool DecodeRecord(std::string_view row, StoredProperties* props);

// The number of properties of a row and its first one (identifier and
// stored value bytes, pointing into `row`), without copying: for a reader
// that needs only that. False when DecodeRecord would refuse the row. A row
// without properties gives a count of 0 and leaves *id and *value alone.
bool PeekFirstProperty(std::string_view row, size_t* count, CEPROPID* id,
                       std::string_view* value);

// The stored value bytes of `prop` into *value. False when it cannot be
// stored: a type that is not a CEVT_* of property_value.h, a null string, or a
// blob with a count but no bytes.
bool EncodeValue(const CEPROPVAL& prop, std::string* value);

// Applies a write of `count` properties to `existing` (a record's properties,
// empty for a new record), in the array's order: a property flagged
// CEDB_PROPDELETE removes the one with its identifier (if any); any other
// replaces the value of the one with its identifier in place, or is added at
// the end. False when EncodeValue refuses one; *existing is then partly
// changed and not to be used.
bool ApplyWrite(WORD count, const CEPROPVAL* props, StoredProperties* existing);

// A read's buffer: the CEPROPVAL array, then every string with a NUL
// (WCHAR) after it, then every blob's bytes, each in the array's order.
struct ReadLayout {
  // Per array entry: the identifier and its stored value, null when the
  // record lacks it. The values point into the StoredProperties the layout
  // was planned from, which must outlive the layout.
  std::vector<std::pair<CEPROPID, const std::string*>> entries;
  size_t size = 0;  // the bytes WriteReadLayout fills
};

// The layout of a read of `props`. With `wanted` null: every property, in
// the record's order. Otherwise the `wanted_count` identifiers of `wanted`,
// in that order, each with the record's property of that identifier (the
// last one, should a damaged row hold several).
ReadLayout PlanReadLayout(const StoredProperties& props, WORD wanted_count,
                          const CEPROPID* wanted);
// Fills `buffer` (at least layout.size bytes, aligned for CEPROPVAL) with
// the layout. Every string and blob pointer points into `buffer`, an empty
// blob's too; an entry the record lacks has wFlags CEDB_PROPNOTFOUND and a
// zero value. Strings follow the array directly, so they are 2-byte aligned
// as long as every string before them has an even length (always, in a row
// this system wrote).
void WriteReadLayout(const ReadLayout& layout, BYTE* buffer);

}  // namespace platform::record_codec

#endif  // HOLLOWMARCH_PLATFORM_RECORD_CODEC_H_
