// Builds the device's transfer form from arbitrary read buffers.
//
// Input: byte 0 is the property count (0 to 255), the rest the read buffer.
// The value of a string or blob entry is turned into a pointer: its low 16
// bits are an offset from the buffer's start (often outside it), so that
// pointers into, across and past the buffer are all tried. Whatever the
// buffer holds, the conversion must read nothing outside it and produce
// offsets that a reader can follow without leaving the block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "server/record_encoding.h"

namespace {

DWORD Le32(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
         (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  WORD cProps = data[0];
  // A buffer of exactly the input's size: a read past it is caught.
  size_t cbNative = size - 1;
  BYTE* native = static_cast<BYTE*>(std::malloc(cbNative == 0 ? 1 : cbNative));
  std::memcpy(native, data + 1, cbNative);
  for (WORD i = 0; i < cProps && (i + 1) * kNativePropValSize <= cbNative; ++i) {
    CEPROPVAL v;
    std::memcpy(&v, native + i * kNativePropValSize, sizeof v);
    WORD type = TypeFromPropId(v.propid);
    uintptr_t offset = static_cast<uintptr_t>(reinterpret_cast<uintptr_t>(v.val.lpwstr) & 0xFFFF);
    if (type == CEVT_LPWSTR) {
      v.val.lpwstr = reinterpret_cast<LPWSTR>(reinterpret_cast<uintptr_t>(native) + offset);
    } else if (type == CEVT_BLOB) {
      v.val.blob.lpb = reinterpret_cast<LPBYTE>(reinterpret_cast<uintptr_t>(native) +
                                                (reinterpret_cast<uintptr_t>(v.val.blob.lpb) & 0xFFFF));
      v.val.blob.dwCount &= 0xFFFF;
    }
    std::memcpy(native + i * kNativePropValSize, &v, sizeof v);
  }

  DWORD cbNativeWord = static_cast<DWORD>(cbNative);
  DWORD total = TransferRecordSize(cbNativeWord, cProps);
  std::vector<BYTE> out(total + 1, 0xEE);
  DWORD written = AppendTransferRecord(0x01020304, native, cbNativeWord, cProps, out.data(), total);
  Check(written == total);
  if (written != 0) {
    Check(out[total] == 0xEE);  // nothing written past the record
    DWORD cbBlock = total - kTransferHeaderSize;
    const BYTE* block = out.data() + kTransferHeaderSize;
    for (WORD i = 0; i < cProps; ++i) {
      const BYTE* e = block + i * kDevicePropValSize;
      WORD type = static_cast<WORD>(e[0] | (e[1] << 8));
      if (type == CEVT_LPWSTR) {
        DWORD offset = Le32(e + 8);
        if (offset == 0) continue;
        // The string must end inside the block.
        bool ended = false;
        for (DWORD at = offset; at + 2 <= cbBlock && !ended; at += 2) {
          ended = block[at] == 0 && block[at + 1] == 0;
        }
        Check(ended);
      } else if (type == CEVT_BLOB) {
        DWORD count = (static_cast<DWORD>(e[8]) << 24) | (e[9] << 16) | (e[10] << 8) | e[11];
        DWORD offset = Le32(e + 12);
        Check(offset <= cbBlock && cbBlock - offset >= count);
      }
    }
  }
  std::free(native);
  return 0;
}
