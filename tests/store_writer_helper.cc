// A writer for the crash test: appends records to one database as fast as
// it can and prints each record's identifier and sequence number as soon as
// its write has returned ("OID SEQ" lines, flushed one by one), until
// killed or `count` records are written.
//
//   store_writer_helper ROOT DATABASE COUNT
//
// Record SEQ holds SEQ (UI4 0x00010013), the text "record SEQ" (LPWSTR
// 0x0002001F) and 512 bytes each equal to SEQ's low byte (BLOB 0x00030041).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/object_store.h"
#include "tests/support/temp_device.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: store_writer_helper ROOT DATABASE COUNT\n");
    return 2;
  }
  HANDLE handle = hmtest::OpenDeviceDatabase(argv[1], argv[2]);
  if (handle == INVALID_HANDLE_VALUE) return 3;
  const unsigned long count = std::strtoul(argv[3], nullptr, 10);
  for (unsigned long seq = 0; seq < count; ++seq) {
    std::string text = "record " + std::to_string(seq);
    std::u16string wide_text(text.begin(), text.end());
    std::vector<BYTE> bytes(512, static_cast<BYTE>(seq));
    CEPROPVAL props[3] = {};
    props[0].propid = 0x00010013;
    props[0].val.ulVal = static_cast<ULONG>(seq);
    props[1].propid = 0x0002001F;
    props[1].val.lpwstr = wide_text.data();
    props[2].propid = 0x00030041;
    props[2].val.blob.dwCount = static_cast<DWORD>(bytes.size());
    props[2].val.blob.lpb = bytes.data();
    CEOID oid = CeWriteRecordProps(handle, 0, 3, props);
    if (oid == 0) {
      std::fprintf(stderr, "write %lu failed: %u\n", seq, GetLastError());
      return 1;
    }
    std::printf("%u %lu\n", oid, seq);
    std::fflush(stdout);
  }
  CloseHandle(handle);
  return 0;
}
