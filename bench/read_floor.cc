#include "bench/read_floor.h"

#include <chrono>

#include "platform/kernel.h"
#include "platform/object_store.h"

namespace hmbench {

double PlainReadSeconds(CEOID oid, int records) {
  HANDLE db = CeOpenDatabase(&oid, nullptr, 0, CEDB_AUTOINCREMENT, 0);
  if (db == INVALID_HANDLE_VALUE) return -1;
  LPBYTE buffer = nullptr;
  const auto start = std::chrono::steady_clock::now();
  CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 0, nullptr);
  int read = 0;
  for (;;) {
    WORD count = 0;
    DWORD size = 0;
    if (CeReadRecordProps(db, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size) == 0) break;
    ++read;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  LocalFree(buffer);
  CloseHandle(db);
  return read == records ? seconds : -1;
}

}  // namespace hmbench
