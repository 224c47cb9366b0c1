// The desktop side's reference synchronisation: a mirror of the device's
// databases in a directory, brought up to date per data class by a fast sync
// (only the recorded changes) when the device's change log is complete from
// the mirror's anchor on, or by a slow sync (every record) when it is not.
//
// One sync of a class:
//  1. query the sync state with the stored anchor: complete means fast,
//     provided the mirror holds the databases the class is to mirror (as
//     the last slow sync was told them) and each database it holds by name
//     still has the identifier it had (one deleted and made again under the
//     same name is read anew); otherwise slow;
//  2. enable tracking (command 6) before reading anything: the device time it
//     answers becomes the next anchor, so a change made during this sync is
//     seen again by the next one (applying a change twice is harmless);
//  3. fast: fetch each added or modified record by database and record
//     identifier (once, however often it changed; a read batch settles the
//     changed records it also holds), drop each deleted one; slow: read
//     every database of the class whole and replace the class's mirror;
//  4. a fast sync asks the sync state again with the old anchor: anything
//     but complete (the class was lost, or entered tracking anew, while it
//     was read) and the class is read whole instead, never committed from
//     the stream;
//  5. end the reading (command 3), and only then store the new anchor.
//
// A seek or a read that fails is an error for the class, never taken for a
// deleted record or the end of a database: a record sought in vain counts
// as deleted only when the database still answers for its last record, and
// a reading ends only at the database's last record.
//
// The mirror is DIR/mirror.db (peer/mirror.h); each class's records, its
// databases and its anchor change in one transaction, committed only when
// the class's sync succeeded whole: a class is never committed in part. A
// slow sync that cannot open one of the class's databases fails the class,
// naming the database; so does a fast sync whose changes name a database
// the class's mirror does not hold, or one of its databases that is gone
// from the device.
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

// A database as a sync's options name it: its name, or '@' and its
// identifier (decimal or 0x-hex, not 0). False for '@' and anything else,
// and for an empty name.
bool ParseDatabaseRef(const std::string& ref, uint32_t* oid, std::u16string* name);

struct SyncOptions {
  std::string dir;
  std::vector<uint32_t> classes;  // empty: all five
  // Per class, the databases it mirrors (ParseDatabaseRef); a class not
  // given mirrors DefaultClassDatabases.
  std::map<uint32_t, std::vector<std::string>> databases;
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
  // The connection failed (or its framing broke) during this class: no
  // later class was tried, and the client has been closed.
  bool connectionLost = false;
};

// Syncs each class in turn over a connected client on which hello was
// accepted. A class that fails keeps its mirror and anchor as they were,
// and the next class is synced all the same, unless the connection was
// lost. A mirror that cannot be opened fails the first result (class 0).
// A class not in the table of five fails its result and ends the run.
std::vector<ClassSyncResult> Sync(PeerClient& client, const SyncOptions& options);

// Reads a whole database through the remote database commands: every
// record, in order. False with *error set when a command fails, or when a
// record cannot be transferred (too large for one batch): the reading
// stopped at it and the error names it. With `onBatch`, the database's size
// is asked first (two seeks) and onBatch is called before the first batch
// and after each. With `onRecords`, each batch is handed to it as it comes
// instead of being kept (`records` may then be null), so that a caller can
// stream a database of any size.
using DumpRecords = std::function<void(const std::vector<Record>& batch)>;
bool DumpDatabase(PeerClient& client, uint32_t oid, const std::u16string& name,
                  std::vector<Record>* records, uint32_t* oidDb, std::string* error,
                  const DumpProgress& onBatch = {}, const DumpRecords& onRecords = {});

// A property as JSON-friendly text parts.
std::string PropertyValueText(const Property& p);
std::string Utf16ToUtf8(const std::u16string& text);
std::u16string Utf8ToUtf16(const std::string& text);

}  // namespace peer

#endif  // HOLLOWMARCH_PEER_SYNC_ENGINE_H_
