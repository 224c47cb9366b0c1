// A program of the device for the power-cut test: runs its steps on one
// database, prints "ready" and waits to be killed, so that its connection
// keeps the store open (no checkpoint at its exit).
//
//   power_cut_helper ROOT DATABASE STEP...
//
// Steps: "add:TEXT" appends a record holding TEXT (LPWSTR 0x0001001F);
// "flush" is the store's durability point (CeFlushDBVol); "checkpoint" is
// an ordinary checkpoint of the store, as SQLite makes one when its log has
// grown (it syncs the log and the file); "exit" ends the program at once.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/kernel.h"
#include "platform/object_store.h"
#include "tests/support/temp_device.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: power_cut_helper ROOT DATABASE STEP...\n");
    return 2;
  }
  HANDLE handle = hmtest::OpenDeviceDatabase(argv[1], argv[2]);
  if (handle == INVALID_HANDLE_VALUE) return 3;
  for (int i = 3; i < argc; ++i) {
    if (std::strncmp(argv[i], "add:", 4) == 0) {
      const std::string text = argv[i] + 4;
      std::u16string wide(text.begin(), text.end());
      CEPROPVAL prop = {};
      prop.propid = 0x0001001F;
      prop.val.lpwstr = wide.data();
      if (CeWriteRecordProps(handle, 0, 1, &prop) == 0) {
        std::fprintf(stderr, "add failed: %u\n", GetLastError());
        return 1;
      }
    } else if (std::strcmp(argv[i], "checkpoint") == 0) {
      sqlite3* db = nullptr;
      const std::string path = std::string(argv[1]) + "/store.db";
      int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
      if (rc == SQLITE_OK) rc = sqlite3_exec(db, "PRAGMA wal_checkpoint(PASSIVE)", nullptr, nullptr, nullptr);
      sqlite3_close(db);
      if (rc != SQLITE_OK) {
        std::fprintf(stderr, "checkpoint failed: %d\n", rc);
        return 1;
      }
    } else if (std::strcmp(argv[i], "exit") == 0) {
      return 0;
    } else if (std::strcmp(argv[i], "flush") == 0) {
      if (!CeFlushDBVol()) {
        std::fprintf(stderr, "flush failed: %u\n", GetLastError());
        return 1;
      }
    } else {
      std::fprintf(stderr, "unknown step %s\n", argv[i]);
      return 2;
    }
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) pause();
}
