// The transfer form in which the read-records command hands database records
// to the peer.
//
// One record in transfer form is a 12-byte header followed by the record's
// property block in the device's 32-bit layout:
//
//   0   4  object identifier of the record, big-endian
//   4   4  number of properties, big-endian
//   8   4  size of the property block in bytes, big-endian
//   12  n  the property block
//
// The property block is an array of 16-byte entries, one per property
// (identifier, wLenData, wFlags, 8-byte value; the identifier, wLenData and
// wFlags little-endian), followed by the string characters and blob bytes the
// entries refer to. Integer values of types I2, UI2, I4 and UI4 are
// big-endian; a string's value is its offset from the block's start (32-bit
// little-endian) and its characters stay UTF-16 little-endian; a blob's value
// is its byte count (big-endian) then its offset (little-endian); every other
// value keeps the device's byte order. A reader finds entry i at 12 + 16 * i
// and the data of a string or blob at 12 + offset.
//
// The platform's read buffer on this host holds native CEPROPVALs (24 bytes,
// 64-bit pointers), so the device block is built from it rather than
// converted in place: the entries are rewritten at 16 bytes each and the
// data that follows them is copied unchanged, so a block is 8 bytes per
// property smaller than the read buffer that it comes from.
//
// Pure functions; any thread.
#ifndef HOLLOWMARCH_SERVER_RECORD_ENCODING_H_
#define HOLLOWMARCH_SERVER_RECORD_ENCODING_H_

#include <cstddef>

#include "platform/object_store.h"
#include "platform/types.h"

constexpr DWORD kDevicePropValSize = 16;
constexpr DWORD kNativePropValSize = sizeof(CEPROPVAL);
constexpr DWORD kTransferHeaderSize = 12;

// Size in bytes of the device form of a read buffer of `cbNative` bytes
// whose first `cProps` entries are native CEPROPVALs, or 0 when the buffer is
// too small to hold those entries. (An empty record's block is the size the
// platform reported for it, normally 0.)
DWORD DeviceBlockSize(DWORD cbNative, WORD cProps);

// Size of a whole record in transfer form (header and block) for a read
// buffer of `cbNative` bytes with `cProps` entries; 0 as DeviceBlockSize.
DWORD TransferRecordSize(DWORD cbNative, WORD cProps);

// Writes the device form of the read buffer `pNative` (`cbNative` bytes,
// `cProps` native CEPROPVALs at its start, then the data they point into)
// to `pOut`, which must hold DeviceBlockSize(cbNative, cProps) bytes.
// Nothing outside the `cbNative` bytes is read: a string or blob pointer
// that does not lie within the data after the entries (or a blob whose
// bytes run past the buffer) is sent as offset 0 with, for a blob, count 0;
// the platform never produces one. Returns false, writing nothing, when the
// buffer is too small for its entries.
bool ConvertRecordProps(const BYTE* pNative, DWORD cbNative, WORD cProps,
                        BYTE* pOut);

// Writes the whole transfer form of one record (header, then the converted
// block) to `pOut`, which has room for `cbRoom` bytes. Returns the bytes
// written, or 0 when the record does not fit in `cbRoom` or the buffer is
// malformed (as ConvertRecordProps); nothing is written then.
DWORD AppendTransferRecord(CEOID oidRecord, const BYTE* pNative,
                           DWORD cbNative, WORD cProps, BYTE* pOut,
                           DWORD cbRoom);

#endif  // HOLLOWMARCH_SERVER_RECORD_ENCODING_H_
