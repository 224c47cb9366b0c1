#include "peer/mirror.h"

#include <filesystem>
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

}  // namespace

Mirror::~Mirror() {
  Rollback();
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  sqlite3_close(db_);
}

bool Mirror::Open(const std::string& dir, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
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
