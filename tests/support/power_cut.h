// A power cut for process-level tests: the device's programs run over the
// power-cut layer (power_cut_vfs.cc, preloaded), which keeps the old bytes of
// every write since each file's last sync; the cut kills every process of
// the device and returns each of its files to its last synced content, as a
// real power cut followed by a reboot would leave the disk.
//
// What the cut does to the device root:
//   store.db, store.db-wal   back to their content as of their last sync;
//   store.db-shm             deleted (the index lives in memory; SQLite
//                            rebuilds it from the log at the next open);
//   run/                     emptied (the windows' runtime files, which a
//                            reboot clears);
//   store.signal             kept (a change counter, no data: every process
//                            that remembered a value of it is dead).
// Everything the device stores (records, databases, registry, notification
// journals) is in the SQLite file, so nothing else is left behind.
#ifndef HOLLOWMARCH_TESTS_SUPPORT_POWER_CUT_H_
#define HOLLOWMARCH_TESTS_SUPPORT_POWER_CUT_H_

#include <string>
#include <vector>

namespace hmtest {

class PowerCut {
 public:
  // A power supply for the device at `root`: its undo files go to a folder
  // of their own, removed on destruction. With `skip_durability_point`, the
  // layer switches the store's durability point off (to show what it
  // prevents).
  PowerCut(std::string root, bool skip_durability_point = false);
  ~PowerCut();
  PowerCut(const PowerCut&) = delete;
  PowerCut& operator=(const PowerCut&) = delete;

  // The environment ("NAME=VALUE" entries, for Run and Process) of a
  // program of the device: it preloads the layer.
  const std::vector<std::string>& Env() const { return env_; }

  // Cuts the power: stops, then kills, every process started with Env()
  // (whoever started it; a test's own Process objects still reap theirs),
  // waits until they are gone, and restores the files. False (with *why)
  // when a process would not die or a file could not be restored.
  bool Cut(std::string* why);

 private:
  std::string root_;
  std::string undo_dir_;
  std::vector<std::string> env_;
};

// The environment of a program of the device whose durability point is
// switched off by the layer, which records nothing then (no cut): for
// measuring what the point costs.
std::vector<std::string> DurabilityPointOffEnv();

}  // namespace hmtest

#endif  // HOLLOWMARCH_TESTS_SUPPORT_POWER_CUT_H_
