// The undo records of the power-cut layer (tests only): for each file of a
// device that SQLite writes, the old bytes of every write and truncation
// since the file's last sync, kept in a side file ("undo file") so that they
// survive the writer's SIGKILL. Returning a file to its last synced content
// is applying its undo records newest first.
//
// Shared by the layer that records (power_cut_vfs.cc, preloaded into the
// device's programs) and the cut that applies them (power_cut.h, in the
// test). Plain POSIX calls, no exceptions, no allocation beyond a buffer:
// the layer runs inside SQLite's calls.
//
// Every process that writes a file takes the undo file's flock (LOCK_EX) for
// the record and the write together, and for a sync and the undo file's
// truncation together, so that a write is either undone or synced, never
// both or neither, whichever processes share the file.
#ifndef HOLLOWMARCH_TESTS_SUPPORT_POWER_CUT_UNDO_H_
#define HOLLOWMARCH_TESTS_SUPPORT_POWER_CUT_UNDO_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace hmtest::power_cut {

// The environment of a program run over the layer: the device root whose
// files are recorded and the folder that holds their undo files.
constexpr char kRootVar[] = "HM_POWER_CUT_ROOT";
constexpr char kUndoVar[] = "HM_POWER_CUT_UNDO";
// Test switch: when set (to anything), the layer answers the store's
// durability point itself and syncs nothing, so that a test can show what
// the point prevents.
constexpr char kSkipPointVar[] = "HM_TEST_SKIP_DURABILITY_POINT";
// The file-control code by which the store announces its durability point
// to the VFS under it before it syncs (platform/store_db.cc holds the same
// value).
constexpr int kDurabilityPointControl = 0x484D0001;

// The undo file of `path` in `undo_dir` ("<undo_dir>/<file name>.undo").
std::string UndoPath(const std::string& undo_dir, const std::string& path);

// Records, in the undo file `undo_fd`, what writing `size` bytes at
// `offset` of `data_fd` will overwrite (or, with `truncate_to` >= 0, what
// truncating it to that size will drop). The caller holds the flock.
// False when the record cannot be written.
bool RecordWrite(int undo_fd, int data_fd, int64_t offset, int64_t size);
bool RecordTruncate(int undo_fd, int data_fd, int64_t new_size);

// Returns the file at `path` to its content as of its last sync by applying
// the undo file `undo_path` newest first, then removes the undo file. A
// record cut short (its writer was killed while writing it) is ignored: the
// write it announced never started. False (with *why) on an I/O failure.
bool Restore(const std::string& undo_path, const std::string& path, std::string* why);

}  // namespace hmtest::power_cut

#endif  // HOLLOWMARCH_TESTS_SUPPORT_POWER_CUT_UNDO_H_
