// Another process that keeps the store busy, as a long import or a backup
// does: writes one record to a database (its notification goes out with the
// commit), takes the store's write lock again at once, prints "held" and
// keeps the lock for SECONDS before it lets it go and exits.
//
//   store_holder_helper ROOT DATABASE SECONDS
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/kernel.h"
#include "platform/object_store.h"
#include "tests/support/temp_device.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: store_holder_helper ROOT DATABASE SECONDS\n");
    return 2;
  }
  HANDLE handle = hmtest::OpenDeviceDatabase(argv[1], argv[2]);
  if (handle == INVALID_HANDLE_VALUE) return 3;
  std::u16string text = u"written before the store went busy";
  CEPROPVAL prop = {};
  prop.propid = 0x4001001F;
  prop.val.lpwstr = text.data();
  // The write and the lock that follows are as close as two calls can be:
  // the system is told of the write while the lock is already held.
  if (CeWriteRecordProps(handle, 0, 1, &prop) == 0) return 1;
  if (!CeBeginTransaction()) return 1;
  std::printf("held\n");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10) * 1000));
  CeEndTransaction(FALSE);
  CloseHandle(handle);
  return 0;
}
