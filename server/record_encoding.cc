#include "server/record_encoding.h"

#include <cstdint>
#include <cstring>

namespace {

static_assert(offsetof(CEPROPVAL, propid) == 0);
static_assert(offsetof(CEPROPVAL, wLenData) == 4);
static_assert(offsetof(CEPROPVAL, wFlags) == 6);
static_assert(offsetof(CEPROPVAL, val) == 8);

void PutBe16(BYTE* p, uint16_t v) {
  p[0] = static_cast<BYTE>(v >> 8);
  p[1] = static_cast<BYTE>(v);
}

void PutBe32(BYTE* p, uint32_t v) {
  p[0] = static_cast<BYTE>(v >> 24);
  p[1] = static_cast<BYTE>(v >> 16);
  p[2] = static_cast<BYTE>(v >> 8);
  p[3] = static_cast<BYTE>(v);
}

void PutLe32(BYTE* p, uint32_t v) {
  p[0] = static_cast<BYTE>(v);
  p[1] = static_cast<BYTE>(v >> 8);
  p[2] = static_cast<BYTE>(v >> 16);
  p[3] = static_cast<BYTE>(v >> 24);
}

// The data region of a native read buffer: the bytes after its entries.
// Offsets in the device block keep each datum's distance from the end of the
// entries, which sit 8 bytes per entry closer to the start there.
struct DataRegion {
  uintptr_t begin;  // first byte after the native entries
  uintptr_t end;    // one past the buffer's last byte
  DWORD deviceBegin;

  // The device offset of `count` bytes at `p`, or 0 when they do not lie
  // wholly inside the region. Compared as integers: `p` is never followed.
  DWORD OffsetOf(const void* p, uintptr_t count) const {
    uintptr_t at = reinterpret_cast<uintptr_t>(p);
    if (p == nullptr || at < begin || at > end || end - at < count) return 0;
    return deviceBegin + static_cast<DWORD>(at - begin);
  }

  bool Contains(const void* p, uintptr_t count) const {
    uintptr_t at = reinterpret_cast<uintptr_t>(p);
    return p != nullptr && at >= begin && at <= end && end - at >= count;
  }

  // True when a NUL-terminated UTF-16 string starts at `p` and ends inside
  // the region.
  bool HoldsString(const WCHAR* p) const {
    if (!Contains(p, 0)) return false;
    for (uintptr_t at = reinterpret_cast<uintptr_t>(p); end - at >= 2; at += 2) {
      WCHAR c;
      std::memcpy(&c, reinterpret_cast<const void*>(at), sizeof c);
      if (c == 0) return true;
    }
    return false;
  }
};

// The 8-byte device value of one property; `v` is the native entry.
void EncodeValue(const CEPROPVAL& v, const DataRegion& data, BYTE* out) {
  switch (TypeFromPropId(v.propid)) {
    case CEVT_I2:
    case CEVT_UI2:
      std::memcpy(out, &v.val, 8);
      PutBe16(out, v.val.uiVal);
      return;
    case CEVT_I4:
    case CEVT_UI4:
      std::memcpy(out, &v.val, 8);
      PutBe32(out, v.val.ulVal);
      return;
    case CEVT_LPWSTR: {
      DWORD offset = 0;
      if (data.HoldsString(v.val.lpwstr)) {
        offset = data.OffsetOf(v.val.lpwstr, sizeof(WCHAR));
      }
      std::memset(out, 0, 8);
      PutLe32(out, offset);
      return;
    }
    case CEVT_BLOB: {
      DWORD count = v.val.blob.dwCount;
      DWORD offset = 0;
      if (data.Contains(v.val.blob.lpb, count)) {
        offset = data.OffsetOf(v.val.blob.lpb, count);
      } else {
        count = 0;
      }
      PutBe32(out, count);
      PutLe32(out + 4, offset);
      return;
    }
    default:
      // Booleans, doubles, file times and unknown types: the device's own
      // eight bytes, unchanged.
      std::memcpy(out, &v.val, 8);
      return;
  }
}

}  // namespace

DWORD DeviceBlockSize(DWORD cbNative, WORD cProps) {
  uint64_t entries = uint64_t{kNativePropValSize} * cProps;
  if (cbNative < entries) return 0;
  return cbNative - (kNativePropValSize - kDevicePropValSize) * cProps;
}

DWORD TransferRecordSize(DWORD cbNative, WORD cProps) {
  if (cbNative < uint64_t{kNativePropValSize} * cProps) return 0;
  DWORD block = DeviceBlockSize(cbNative, cProps);
  if (block > UINT32_MAX - kTransferHeaderSize) return 0;
  return kTransferHeaderSize + block;
}

bool ConvertRecordProps(const BYTE* pNative, DWORD cbNative, WORD cProps,
                        BYTE* pOut) {
  uint64_t entries = uint64_t{kNativePropValSize} * cProps;
  if (cbNative < entries) return false;
  DataRegion data{reinterpret_cast<uintptr_t>(pNative) + entries,
                  reinterpret_cast<uintptr_t>(pNative) + cbNative,
                  kDevicePropValSize * cProps};
  for (WORD i = 0; i < cProps; ++i) {
    // The read buffer may be any byte buffer (the fuzzer's, for one): copy
    // the entry out rather than reading it in place.
    CEPROPVAL v;
    std::memcpy(&v, pNative + uint64_t{kNativePropValSize} * i, sizeof v);
    BYTE* out = pOut + uint64_t{kDevicePropValSize} * i;
    std::memcpy(out, pNative + uint64_t{kNativePropValSize} * i, 8);
    EncodeValue(v, data, out + 8);
  }
  // An empty record may come without any buffer at all.
  if (cbNative > entries) {
    std::memcpy(pOut + data.deviceBegin, pNative + entries, cbNative - entries);
  }
  return true;
}

DWORD AppendTransferRecord(CEOID oidRecord, const BYTE* pNative,
                           DWORD cbNative, WORD cProps, BYTE* pOut,
                           DWORD cbRoom) {
  DWORD total = TransferRecordSize(cbNative, cProps);
  if (total == 0 || total > cbRoom) return 0;
  if (!ConvertRecordProps(pNative, cbNative, cProps, pOut + kTransferHeaderSize)) {
    return 0;
  }
  PutBe32(pOut, oidRecord);
  PutBe32(pOut + 4, cProps);
  PutBe32(pOut + 8, total - kTransferHeaderSize);
  return total;
}
