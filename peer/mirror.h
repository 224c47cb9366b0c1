// The desktop's mirror of the device: one SQLite file, DIR/mirror.db,
// holding per data class the records of its databases, the databases they
// came from, and the class's sync anchor (the device time of the last sync
// that completed, 0 for none).
//
//   anchors(class INTEGER PRIMARY KEY, anchor INTEGER)
//   records(class, db, oid, props TEXT)   -- props: the record as JSON
//   databases(class, name TEXT, db)       -- as the sync was told to read them
//
// A sync changes a class inside one transaction (Begin, then Put, Remove,
// ClearClass or AddDatabase, then SetAnchor and Commit), so that the records and the anchor
// move together: a sync that fails or is killed half-way leaves the class as
// the previous sync left it. A fast sync touches only the records that
// changed; nothing is rewritten whole.
//
// Threads: one thread at a time.
#ifndef HOLLOWMARCH_PEER_MIRROR_H_
#define HOLLOWMARCH_PEER_MIRROR_H_

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

namespace peer {

// A database whose records a class's mirror holds: as it was named to the
// sync that read it (a name, or '@' and its identifier), and its identifier.
struct MirroredDatabase {
  std::string name;
  uint32_t oid = 0;
  bool operator==(const MirroredDatabase&) const = default;
};

class Mirror {
 public:
  Mirror() = default;
  // Rolls back an open transaction and closes the file.
  ~Mirror();
  Mirror(const Mirror&) = delete;
  Mirror& operator=(const Mirror&) = delete;

  // Opens DIR/mirror.db, creating the directory and the file as needed.
  // The mirror holds the device's data: what is made is the owner's only
  // whatever the umask (folders 0700, the file and its journal files 0600);
  // a folder that was there is left as it is, and refused when other users
  // may write it. False with *error set (naming the path and why) when it
  // cannot be opened or is not a mirror.
  bool Open(const std::string& dir, std::string* error);

  // The class's anchor, 0 when it was never synced.
  uint32_t Anchor(uint32_t dataClass);
  // The records of the class, as an object keyed "db:oid" (what a test or a
  // person compares).
  nlohmann::json Records(uint32_t dataClass);
  size_t Count(uint32_t dataClass);
  // The class's databases, by name; empty for a class never synced (or
  // synced before the mirror kept them).
  std::vector<MirroredDatabase> Databases(uint32_t dataClass);

  // The changes of one sync. Each returns false with error() set; after a
  // failure the caller rolls back.
  bool Begin();
  bool Put(uint32_t dataClass, uint32_t oidDb, uint32_t oidRec, const nlohmann::json& record);
  bool Remove(uint32_t dataClass, uint32_t oidDb, uint32_t oidRec);
  // Removes the class's records and its databases.
  bool ClearClass(uint32_t dataClass);
  // Records that the class's mirror holds the database `oidDb`, read as
  // `name`.
  bool AddDatabase(uint32_t dataClass, const std::string& name, uint32_t oidDb);
  bool SetAnchor(uint32_t dataClass, uint32_t anchor);
  bool Commit();
  void Rollback();

  const std::string& error() const { return error_; }

 private:
  bool Exec(const char* sql);
  bool Failed(const char* what);
  // Statements are kept, keyed by the address of their SQL text (literals).
  sqlite3_stmt* Prepare(const char* sql);
  // The first column of the first row `sql` gives for the class (its one
  // parameter), or 0 when there is none.
  int64_t ClassValue(const char* sql, uint32_t dataClass);

  sqlite3* db_ = nullptr;
  bool in_transaction_ = false;
  std::string path_;
  std::string error_;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

}  // namespace peer

#endif  // HOLLOWMARCH_PEER_MIRROR_H_
