// The desktop side's reference synchronisation: a mirror of the device's
// databases in a directory, brought up to date per data class by a fast sync
// (only the recorded changes) when the device's change log is complete from
// the mirror's anchor on, or by a slow sync (every record) when it is not.
//
// One sync of a class:
//  1. query the sync state with the stored anchor: complete means fast;
//  2. enable tracking (command 6) before reading anything: the device time it
//     answers becomes the next anchor, so a change made during this sync is
//     seen again by the next one (applying a change twice is harmless);
//  3. fast: fetch each added or modified record by database and record
//     identifier (once, however often it changed; a read batch that starts
//     at one record settles the changed records it also holds), drop each
//     deleted one; slow: read every database of the class whole and replace
//     the class's mirror;
//  4. end the reading (command 3), and only then store the new anchor.
//
// The mirror is DIR/mirror.db (peer/mirror.h); each class's records and
// anchor change in one transaction, committed only when the class's sync
// succeeded.
#ifndef HOLLOWMARCH_PEER_SYNC_ENGINE_H_
#define HOLLOWMARCH_PEER_SYNC_ENGINE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "peer/peer_client.h"
#include "peer/transfer_record.h"

namespace peer {

// The wire's class index of a data class, or -1.
int ClassIndexOf(uint32_t dataClass);

// The databases a slow sync reads for a class when none are named: those
// of the demo device.
std::vector<std::string> DefaultClassDatabases(uint32_t dataClass);

// Progress of a reading: records done so far out of `total` (an estimate:
// the device may change while it is read).
using DumpProgress = std::function<void(size_t done, size_t total)>;

struct SyncOptions {
  std::string dir;
  std::vector<uint32_t> classes;                         // empty: all five
  std::map<uint32_t, std::vector<std::string>> databases;  // per class, for slow syncs
  // Optional, on the calling thread: a line as each class's sync starts,
  // and the records moved so far in the class being synced.
  std::function<void(const std::string&)> progress;
  DumpProgress onRecords;
};

struct ClassSyncResult {
  uint32_t dataClass = 0;
  bool fast = false;
  size_t moved = 0;      // records fetched, written or removed (each once)
  size_t mirrored = 0;   // records in the mirror afterwards
  uint32_t anchor = 0;   // the stored anchor
  std::string error;     // empty on success
};

// Syncs each class over a connected client on which hello was accepted.
// Stops at the first class that fails (its mirror and anchor untouched);
// a mirror that cannot be opened fails the first result (class 0).
std::vector<ClassSyncResult> Sync(PeerClient& client, const SyncOptions& options);

// Reads a whole database through the remote database commands: every
// record, in order. False with *error set when a command fails, or when a
// record cannot be transferred (too large for one batch): the reading
// stopped at it and the error names it. With `onBatch`, the database's size
// is asked first (two seeks) and onBatch is called before the first batch
// and after each.
bool DumpDatabase(PeerClient& client, uint32_t oid, const std::u16string& name,
                  std::vector<Record>* records, uint32_t* oidDb, std::string* error,
                  const DumpProgress& onBatch = {});

// A property as JSON-friendly text parts.
std::string PropertyValueText(const Property& p);
std::string Utf16ToUtf8(const std::u16string& text);
std::u16string Utf8ToUtf16(const std::string& text);

}  // namespace peer

#endif  // HOLLOWMARCH_PEER_SYNC_ENGINE_H_
