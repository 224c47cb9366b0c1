// The power-cut layer (tests only): a shared library preloaded into every
// program of a device under test (LD_PRELOAD). When the environment names a
// device root and an undo folder (power_cut_undo.h), or sets the switch of
// the durability point, it registers, as
// SQLite's default, a VFS that wraps the system's own and, for every file
// under the root, records the old bytes of each write and truncation in
// the file's undo file until the file is next synced, when the records are
// dropped. A test's cut (power_cut.h) then kills the device's processes and
// applies the records: each file is back as of its last sync, as after a
// real power cut.
//
// The shared-memory index (-shm) is written through a mapping, not through
// this layer: the cut deletes it, as a reboot would.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/power_cut_undo.h"

namespace {

namespace pc = hmtest::power_cut;

// Set once, by RegisterPowerCutVfs, before any SQLite call can reach the
// layer. Plain arrays: the registration may run before the library's own
// C++ objects are constructed.
sqlite3_vfs* base_vfs = nullptr;
char root_prefix[4096];  // "<root>/"; empty: nothing is recorded
char undo_dir[4096];
bool skip_point = false;

// A file of ours: the system VFS's file object follows it in the same
// allocation (szOsFile covers both).
struct File {
  sqlite3_file base;
  sqlite3_file* real;
  int undo_fd;  // -1: a file this layer does not record
  int data_fd;  // a second descriptor of the file, for reading old bytes
};

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }

// Holds the undo file's lock for the life of the scope.
class UndoLock {
 public:
  explicit UndoLock(int fd) : fd_(fd) {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
    }
  }
  ~UndoLock() {
    if (fd_ >= 0) flock(fd_, LOCK_UN);
  }

 private:
  int fd_;
};

int Close(sqlite3_file* f) {
  File* p = reinterpret_cast<File*>(f);
  int rc = p->real->pMethods != nullptr ? p->real->pMethods->xClose(p->real) : SQLITE_OK;
  if (p->undo_fd >= 0) close(p->undo_fd);
  if (p->data_fd >= 0) close(p->data_fd);
  return rc;
}

int Read(sqlite3_file* f, void* buf, int amount, sqlite3_int64 offset) {
  return Real(f)->pMethods->xRead(Real(f), buf, amount, offset);
}

int Write(sqlite3_file* f, const void* buf, int amount, sqlite3_int64 offset) {
  File* p = reinterpret_cast<File*>(f);
  UndoLock lock(p->undo_fd);
  if (p->undo_fd >= 0 && !pc::RecordWrite(p->undo_fd, p->data_fd, offset, amount)) {
    return SQLITE_IOERR_WRITE;
  }
  return p->real->pMethods->xWrite(p->real, buf, amount, offset);
}

int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  File* p = reinterpret_cast<File*>(f);
  UndoLock lock(p->undo_fd);
  if (p->undo_fd >= 0 && !pc::RecordTruncate(p->undo_fd, p->data_fd, size)) {
    return SQLITE_IOERR_TRUNCATE;
  }
  return p->real->pMethods->xTruncate(p->real, size);
}

// Whatever any process wrote to the file is on the disk once the sync
// returns, so the file's records all go.
int Sync(sqlite3_file* f, int flags) {
  File* p = reinterpret_cast<File*>(f);
  UndoLock lock(p->undo_fd);
  int rc = p->real->pMethods->xSync(p->real, flags);
  if (rc == SQLITE_OK && p->undo_fd >= 0 && ftruncate(p->undo_fd, 0) != 0) rc = SQLITE_IOERR_FSYNC;
  return rc;
}

int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Lock(sqlite3_file* f, int level) { return Real(f)->pMethods->xLock(Real(f), level); }
int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReservedLock(sqlite3_file* f, int* out) {
  return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}

int FileControl(sqlite3_file* f, int op, void* arg) {
  // The store asks before its durability point's sync: answering it here
  // skips the sync (the test switch); not answering lets the sync run.
  if (op == pc::kDurabilityPointControl) return skip_point ? SQLITE_OK : SQLITE_NOTFOUND;
  return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}

int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) {
  return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  return Real(f)->pMethods->xShmMap(Real(f), region, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int delete_flag) {
  return Real(f)->pMethods->xShmUnmap(Real(f), delete_flag);
}

// Version 2: no memory-mapped reads and writes, so every write passes here.
const sqlite3_io_methods kMethods = {
    2,         Close,      Read,       Write,       Truncate,      Sync,   FileSize,
    Lock,      Unlock,     CheckReservedLock,       FileControl,   SectorSize,
    DeviceCharacteristics, ShmMap,     ShmLock,     ShmBarrier,    ShmUnmap,
    nullptr,   nullptr};

bool Recorded(const char* name) {
  return root_prefix[0] != '\0' && name != nullptr &&
         std::strncmp(name, root_prefix, std::strlen(root_prefix)) == 0;
}

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* out_flags) {
  File* p = reinterpret_cast<File*>(f);
  p->real = reinterpret_cast<sqlite3_file*>(p + 1);
  p->undo_fd = -1;
  p->data_fd = -1;
  int rc = base_vfs->xOpen(base_vfs, name, p->real, flags, out_flags);
  if (rc != SQLITE_OK) {
    f->pMethods = nullptr;
    return rc;
  }
  if (Recorded(name)) {
    p->undo_fd = open(pc::UndoPath(undo_dir, name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    p->data_fd = open(name, O_RDONLY | O_CLOEXEC);
    if (p->undo_fd < 0 || p->data_fd < 0) {
      p->real->pMethods->xClose(p->real);
      if (p->undo_fd >= 0) close(p->undo_fd);
      if (p->data_fd >= 0) close(p->data_fd);
      f->pMethods = nullptr;
      return SQLITE_CANTOPEN;
    }
  }
  f->pMethods = &kMethods;
  return SQLITE_OK;
}

// A file deleted (the log after its last connection's checkpoint, which
// synced everything in it) has nothing left to undo.
int Delete(sqlite3_vfs*, const char* name, int sync_dir) {
  int rc = base_vfs->xDelete(base_vfs, name, sync_dir);
  if (rc == SQLITE_OK && Recorded(name)) unlink(pc::UndoPath(undo_dir, name).c_str());
  return rc;
}

int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
  return base_vfs->xAccess(base_vfs, name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return base_vfs->xFullPathname(base_vfs, name, size, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) { return base_vfs->xDlOpen(base_vfs, name); }
void DlError(sqlite3_vfs*, int size, char* out) { base_vfs->xDlError(base_vfs, size, out); }
void (*DlSym(sqlite3_vfs*, void* h, const char* sym))(void) { return base_vfs->xDlSym(base_vfs, h, sym); }
void DlClose(sqlite3_vfs*, void* h) { base_vfs->xDlClose(base_vfs, h); }
int Randomness(sqlite3_vfs*, int size, char* out) { return base_vfs->xRandomness(base_vfs, size, out); }
int Sleep(sqlite3_vfs*, int us) { return base_vfs->xSleep(base_vfs, us); }
int CurrentTime(sqlite3_vfs*, double* out) { return base_vfs->xCurrentTime(base_vfs, out); }
int GetLastError(sqlite3_vfs*, int size, char* out) {
  return base_vfs->xGetLastError(base_vfs, size, out);
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  return base_vfs->xCurrentTimeInt64(base_vfs, out);
}

sqlite3_vfs power_cut_vfs;

__attribute__((constructor)) void RegisterPowerCutVfs() {
  const char* root = std::getenv(pc::kRootVar);
  const char* undo = std::getenv(pc::kUndoVar);
  const bool record = root != nullptr && *root != '\0' && undo != nullptr && *undo != '\0';
  skip_point = std::getenv(pc::kSkipPointVar) != nullptr;
  // Without a root the layer records nothing: only the switch (a benchmark
  // of the point's cost runs so, with and without it).
  if (!record && !skip_point) return;
  base_vfs = sqlite3_vfs_find(nullptr);
  if (base_vfs == nullptr) return;
  if (record) {
    if (std::strlen(root) + 2 > sizeof root_prefix || std::strlen(undo) + 1 > sizeof undo_dir) return;
    std::snprintf(root_prefix, sizeof root_prefix, "%s/", root);
    std::snprintf(undo_dir, sizeof undo_dir, "%s", undo);
  }
  power_cut_vfs = sqlite3_vfs{};
  power_cut_vfs.iVersion = 2;
  power_cut_vfs.szOsFile = static_cast<int>(sizeof(File)) + base_vfs->szOsFile;
  power_cut_vfs.mxPathname = base_vfs->mxPathname;
  power_cut_vfs.zName = "hm-power-cut";
  power_cut_vfs.xOpen = Open;
  power_cut_vfs.xDelete = Delete;
  power_cut_vfs.xAccess = Access;
  power_cut_vfs.xFullPathname = FullPathname;
  power_cut_vfs.xDlOpen = DlOpen;
  power_cut_vfs.xDlError = DlError;
  power_cut_vfs.xDlSym = DlSym;
  power_cut_vfs.xDlClose = DlClose;
  power_cut_vfs.xRandomness = Randomness;
  power_cut_vfs.xSleep = Sleep;
  power_cut_vfs.xCurrentTime = CurrentTime;
  power_cut_vfs.xGetLastError = GetLastError;
  power_cut_vfs.xCurrentTimeInt64 = CurrentTimeInt64;
  sqlite3_vfs_register(&power_cut_vfs, 1);
}

}  // namespace
