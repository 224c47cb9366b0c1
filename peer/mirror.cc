#include "peer/mirror.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace peer {
namespace {

using nlohmann::json;

const char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS anchors(class INTEGER PRIMARY KEY, anchor INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS records(
  class INTEGER NOT NULL,
  db INTEGER NOT NULL,
  oid INTEGER NOT NULL,
  props TEXT NOT NULL,
  PRIMARY KEY(class, db, oid)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS databases(
  class INTEGER NOT NULL,
  name TEXT NOT NULL,
  db INTEGER NOT NULL,
  PRIMARY KEY(class, name)) WITHOUT ROWID;
)sql";

// One use of a kept statement: reset and unbound at the end of the scope.
struct Statement {
  explicit Statement(sqlite3_stmt* s) : stmt(s) {}
  ~Statement() {
    if (stmt == nullptr) return;
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
  }
  sqlite3_stmt* stmt;
};

// Makes `dir` and its missing parents, each 0700 exactly whatever the umask.
// A folder that was there is the user's and is left as it was; one that other
// users may write is refused (they could put their own mirror.db in its
// place), with the chmod to run.
bool MakePrivateFolder(const std::string& dir, std::string* error) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i != dir.size() && dir[i] != '/') continue;
    const std::string prefix = dir.substr(0, i);
    if (mkdir(prefix.c_str(), 0700) == 0) {
      if (chmod(prefix.c_str(), 0700) != 0) {
        *error = "cannot make " + prefix + " private: " + std::strerror(errno);
        return false;
      }
    } else if (errno != EEXIST) {
      *error = "cannot create " + prefix + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    *error = "cannot inspect " + dir + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = dir + " is not a directory";
    return false;
  }
  if ((st.st_mode & 022) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *error = dir + " can be written by other users (mode " + std::string(mode) +
             "); choose a private folder, or make it one first: chmod 700 '" + dir + "'";
    return false;
  }
  return true;
}

// Gives the mirror's file (and its journal files, where they are) mode 0600,
// creating mirror.db empty before SQLite would create it 0644 less the umask;
// SQLite gives the journal files the database file's mode.
bool MakeMirrorPrivate(const std::string& dir, std::string* error) {
  if (dir.empty()) {
    *error = "the mirror's folder is empty";
    return false;
  }
  if (!MakePrivateFolder(dir, error)) return false;
  for (const char* name : {"/mirror.db", "/mirror.db-wal", "/mirror.db-shm"}) {
    const std::string path = dir + name;
    const bool create = name == std::string("/mirror.db");
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0), 0600);
    if (fd < 0) {
      if (!create && errno == ENOENT) continue;
      *error = "cannot open " + path + ": " + std::strerror(errno);
      return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) {
      *error = path + " is not a regular file";
    } else if ((st.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0) {
      *error = "cannot make " + path + " private: " + std::strerror(errno);
      ok = false;
    }
    close(fd);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

Mirror::~Mirror() {
  Rollback();
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  sqlite3_close(db_);
}

bool Mirror::Open(const std::string& dir, std::string* error) {
  if (!MakeMirrorPrivate(dir, error)) return false;
  path_ = dir + "/mirror.db";
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    *error = path_ + ": " + sqlite3_errmsg(db_);
    return false;
  }
  // Another hmpeer syncing into the same directory holds the file for the
  // length of a class: wait for it rather than fail.
  sqlite3_busy_timeout(db_, 60000);
  // Full durability: each commit syncs the log, so that a power cut of the
  // desktop never leaves a class's anchor ahead of its records.
  if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=FULL") || !Exec(kSchema)) {
    *error = error_;
    return false;
  }
  return true;
}

bool Mirror::Failed(const char* what) {
  error_ = path_ + ": " + what + ": " + sqlite3_errmsg(db_);
  return false;
}

bool Mirror::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK || Failed(sql);
}

sqlite3_stmt* Mirror::Prepare(const char* sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    Failed(sql);
    return nullptr;
  }
  statements_.emplace(sql, stmt);
  return stmt;
}

int64_t Mirror::ClassValue(const char* sql, uint32_t dataClass) {
  Statement s(Prepare(sql));
  if (s.stmt == nullptr) return 0;
  sqlite3_bind_int64(s.stmt, 1, dataClass);
  return sqlite3_step(s.stmt) == SQLITE_ROW ? sqlite3_column_int64(s.stmt, 0) : 0;
}

uint32_t Mirror::Anchor(uint32_t dataClass) {
  static const char kSql[] = "SELECT anchor FROM anchors WHERE class = ?";
  return static_cast<uint32_t>(ClassValue(kSql, dataClass));
}

json Mirror::Records(uint32_t dataClass) {
  json out = json::object();
  Statement s(Prepare("SELECT db, oid, props FROM records WHERE class = ? ORDER BY db, oid"));
  if (s.stmt == nullptr) return out;
  sqlite3_bind_int64(s.stmt, 1, dataClass);
  while (sqlite3_step(s.stmt) == SQLITE_ROW) {
    const char* props = reinterpret_cast<const char*>(sqlite3_column_text(s.stmt, 2));
    const std::string key =
        std::to_string(sqlite3_column_int64(s.stmt, 0)) + ":" + std::to_string(sqlite3_column_int64(s.stmt, 1));
    out[key] = json::parse(props != nullptr ? props : "null", nullptr, /*allow_exceptions=*/false);
  }
  return out;
}

size_t Mirror::Count(uint32_t dataClass) {
  static const char kSql[] = "SELECT count(*) FROM records WHERE class = ?";
  return static_cast<size_t>(ClassValue(kSql, dataClass));
}

std::vector<MirroredDatabase> Mirror::Databases(uint32_t dataClass) {
  std::vector<MirroredDatabase> out;
  Statement s(Prepare("SELECT name, db FROM databases WHERE class = ? ORDER BY name"));
  if (s.stmt == nullptr) return out;
  sqlite3_bind_int64(s.stmt, 1, dataClass);
  while (sqlite3_step(s.stmt) == SQLITE_ROW) {
    const char* name = reinterpret_cast<const char*>(sqlite3_column_text(s.stmt, 0));
    out.push_back({name != nullptr ? name : "", static_cast<uint32_t>(sqlite3_column_int64(s.stmt, 1))});
  }
  return out;
}

bool Mirror::Begin() {
  if (!Exec("BEGIN IMMEDIATE")) return false;
  in_transaction_ = true;
  return true;
}

bool Mirror::Put(uint32_t dataClass, uint32_t oidDb, uint32_t oidRec, const json& record) {
  Statement s(Prepare("INSERT OR REPLACE INTO records(class, db, oid, props) VALUES(?, ?, ?, ?)"));
  if (s.stmt == nullptr) return false;
  const std::string text = record.dump();
  sqlite3_bind_int64(s.stmt, 1, dataClass);
  sqlite3_bind_int64(s.stmt, 2, oidDb);
  sqlite3_bind_int64(s.stmt, 3, oidRec);
  sqlite3_bind_text(s.stmt, 4, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  return sqlite3_step(s.stmt) == SQLITE_DONE || Failed("writing a record");
}

bool Mirror::Remove(uint32_t dataClass, uint32_t oidDb, uint32_t oidRec) {
  Statement s(Prepare("DELETE FROM records WHERE class = ? AND db = ? AND oid = ?"));
  if (s.stmt == nullptr) return false;
  sqlite3_bind_int64(s.stmt, 1, dataClass);
  sqlite3_bind_int64(s.stmt, 2, oidDb);
  sqlite3_bind_int64(s.stmt, 3, oidRec);
  return sqlite3_step(s.stmt) == SQLITE_DONE || Failed("removing a record");
}

bool Mirror::ClearClass(uint32_t dataClass) {
  for (const char* sql : {"DELETE FROM records WHERE class = ?", "DELETE FROM databases WHERE class = ?"}) {
    Statement s(Prepare(sql));
    if (s.stmt == nullptr) return false;
    sqlite3_bind_int64(s.stmt, 1, dataClass);
    if (sqlite3_step(s.stmt) != SQLITE_DONE) return Failed("clearing a class");
  }
  return true;
}

bool Mirror::AddDatabase(uint32_t dataClass, const std::string& name, uint32_t oidDb) {
  Statement s(Prepare("INSERT OR REPLACE INTO databases(class, name, db) VALUES(?, ?, ?)"));
  if (s.stmt == nullptr) return false;
  sqlite3_bind_int64(s.stmt, 1, dataClass);
  sqlite3_bind_text(s.stmt, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  sqlite3_bind_int64(s.stmt, 3, oidDb);
  return sqlite3_step(s.stmt) == SQLITE_DONE || Failed("storing a database");
}

bool Mirror::SetAnchor(uint32_t dataClass, uint32_t anchor) {
  Statement s(Prepare("INSERT OR REPLACE INTO anchors(class, anchor) VALUES(?, ?)"));
  if (s.stmt == nullptr) return false;
  sqlite3_bind_int64(s.stmt, 1, dataClass);
  sqlite3_bind_int64(s.stmt, 2, anchor);
  return sqlite3_step(s.stmt) == SQLITE_DONE || Failed("storing the anchor");
}

bool Mirror::Commit() {
  if (!Exec("COMMIT")) return false;
  in_transaction_ = false;
  return true;
}

void Mirror::Rollback() {
  if (!in_transaction_) return;
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  in_transaction_ = false;
}

}  // namespace peer
