#include "platform/store_db.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/mutex.h"
#include "platform/utf.h"

namespace platform::store {
namespace {

// Schema version 3 (version 1 had no notification journals; its files gain
// the tables on open. Version 2 numbered notifications with AUTOINCREMENT;
// its files are migrated, see kMigrateNotifications). A 'used_bytes' row
// that files before version 3 hold is no longer kept: the store's use is
// counted from the databases' sizes. Records of a database are ordered by
// identifier, which is their order of first write.
//
// Identifiers and notification numbers are never reused, yet the writes
// that take them write no counter: the next one is past the greatest one
// present and past meta's value (next_oid, next_notification), which is
// raised only by a write that deletes what may be the greatest one. Files
// of earlier builds, whose meta was raised by every write, hold the same
// facts, so they need no migration.
const char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
INSERT OR IGNORE INTO meta VALUES('next_oid', 1);
INSERT OR IGNORE INTO meta VALUES('next_watch', 1);
INSERT OR IGNORE INTO meta VALUES('next_notification', 1);
CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS databases(
  oid INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE COLLATE NOCASE,
  type INTEGER NOT NULL,
  num_records INTEGER NOT NULL DEFAULT 0,
  size INTEGER NOT NULL DEFAULT 0,
  modified INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS databases_by_type ON databases(type, oid);
CREATE TABLE IF NOT EXISTS records(
  oid INTEGER PRIMARY KEY,
  db INTEGER NOT NULL,
  props BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS records_by_db ON records(db, oid);
CREATE TABLE IF NOT EXISTS notifications(
  seq INTEGER PRIMARY KEY,
  db INTEGER NOT NULL,
  record INTEGER NOT NULL,
  message INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS watchers(
  id INTEGER PRIMARY KEY,
  pid INTEGER NOT NULL,
  db INTEGER NOT NULL,
  position INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS watchers_by_db ON watchers(db);
CREATE TABLE IF NOT EXISTS journals(
  name TEXT PRIMARY KEY COLLATE NOCASE,
  pid INTEGER NOT NULL,
  holder TEXT NOT NULL,
  position INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS journal_dbs(
  journal TEXT NOT NULL COLLATE NOCASE,
  db INTEGER NOT NULL,
  PRIMARY KEY(journal, db)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS journal_dbs_by_db ON journal_dbs(db);
CREATE TABLE IF NOT EXISTS reg_keys(
  id INTEGER PRIMARY KEY,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE,
  UNIQUE(parent, name));
INSERT OR IGNORE INTO reg_keys VALUES(1, 0, 'HKEY_CLASSES_ROOT');
INSERT OR IGNORE INTO reg_keys VALUES(2, 0, 'HKEY_CURRENT_USER');
INSERT OR IGNORE INTO reg_keys VALUES(3, 0, 'HKEY_LOCAL_MACHINE');
CREATE TABLE IF NOT EXISTS reg_values(
  key INTEGER NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY(key, name)) WITHOUT ROWID;
PRAGMA user_version = 3;
)sql";
// The version the schema above sets.
constexpr int kSchemaVersion = 3;

// A version 2 file's notifications, numbered by AUTOINCREMENT, move to the
// table of version 3, and the numbering goes on after the greatest number
// ever given (kept in sqlite_sequence, also when those rows are pruned), so
// that no number comes back. Runs after kSchema, in its transaction.
const char kMigrateNotifications[] = R"sql(
CREATE TABLE notifications_v3(
  seq INTEGER PRIMARY KEY,
  db INTEGER NOT NULL,
  record INTEGER NOT NULL,
  message INTEGER NOT NULL);
INSERT INTO notifications_v3 SELECT seq, db, record, message FROM notifications;
INSERT OR REPLACE INTO meta VALUES('next_notification',
  max(coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'notifications'), 0),
      coalesce((SELECT max(seq) FROM notifications), 0)) + 1);
DROP TABLE notifications;
ALTER TABLE notifications_v3 RENAME TO notifications;
)sql";

constexpr int kBusyTimeoutMs = 60000;

struct Signal {
  uint32_t counter;
  uint32_t waiters;
};

// The open device, as this process knows it. Changed only by OpenStore and
// CloseStore, which must not race with other platform calls; the generation
// lets threads notice a change without a lock.
Mutex device_mu;
std::string db_path GUARDED_BY(device_mu);
std::atomic<uint64_t> generation{0};
std::atomic<bool> store_open{false};
// Mappings are never unmapped: a watcher thread may still be waiting on an
// old one while the device closes.
std::atomic<Signal*> signal_map{nullptr};

thread_local std::string last_detail;
// How long this thread's connection waits for another writer (SetStoreWait).
thread_local int store_wait_ms = kBusyTimeoutMs;

struct ThreadSlot {
  uint64_t generation = 0;
  std::unique_ptr<Connection> conn;
};
thread_local ThreadSlot slot;

int64_t Futex(uint32_t* addr, int op, uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, addr, op, value, timeout, nullptr, 0);
}

// Returns when the change counter differs from `seen`, after `timeout` (null:
// no limit) or for no reason; at once without a device.
void WaitForCounter(Signal* s, uint32_t seen, const timespec* timeout) {
  std::atomic_ref<uint32_t> waiters(s->waiters);
  waiters.fetch_add(1);
  if (std::atomic_ref<uint32_t>(s->counter).load() == seen) {
    Futex(&s->counter, FUTEX_WAIT, seen, timeout);
  }
  waiters.fetch_sub(1);
}

// The busy handler of every connection: another connection holds the write
// lock. SQLite's own waits after 1, 2, 5, 10 ms and on, so a writer that
// meets a transaction of a few hundred microseconds (another process's
// commit, a group of captured changes) would lose a millisecond or more
// each time. This one waits on the change signal, which the holder's commit
// moves, so the waiter looks again as soon as the lock is free; at most 50 us,
// doubling to 1 ms, since a holder that rolls back or commits without a
// signal does not move it (nor does one that committed just before the
// counter was read). For as long as the thread's store wait allows; runs on
// the connection's own thread.
thread_local std::chrono::steady_clock::time_point busy_since;

int BusyWait(void*, int count) {
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) busy_since = now;
  const auto waited = now - busy_since;
  const auto limit = std::chrono::milliseconds(store_wait_ms);
  if (waited >= limit) return 0;
  const auto step = std::min<std::chrono::steady_clock::duration>(
      std::min(std::chrono::microseconds(50 << std::min(count, 5)), std::chrono::microseconds(1000)),
      limit - waited);
  Signal* s = signal_map.load();
  if (s == nullptr) {
    std::this_thread::sleep_for(step);
    return 1;
  }
  const uint32_t seen = std::atomic_ref<uint32_t>(s->counter).load();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(step).count();
  const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  WaitForCounter(s, seen, &timeout);
  return 1;
}

Status MapSignal(const std::string& root) {
  std::string path = root + "/store.signal";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return Status::Error("cannot open " + path);
  if (ftruncate(fd, sizeof(Signal)) != 0) {
    close(fd);
    return Status::Error("cannot size " + path);
  }
  void* p = mmap(nullptr, sizeof(Signal), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return Status::Error("cannot map " + path);
  signal_map.store(static_cast<Signal*>(p));
  return Status::Ok();
}

// The schema's version as the file records it (PRAGMA user_version); 0 for
// a new file or when it cannot be read.
int SchemaVersion(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr) != SQLITE_OK) return 0;
  int version = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : 0;
  sqlite3_finalize(stmt);
  return version;
}

// Whether the file's notification table is version 2's.
bool NotificationsNumberedByAutoincrement(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT 1 FROM sqlite_master WHERE type = 'table' AND "
                         "name = 'notifications' AND sql LIKE '%AUTOINCREMENT%'",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    return false;
  }
  const bool found = sqlite3_step(stmt) == SQLITE_ROW;
  sqlite3_finalize(stmt);
  return found;
}

sqlite3* OpenFile(const std::string& path, DWORD* error) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    *error = TranslateError(rc, db, "opening the store");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_handler(db, BusyWait, nullptr);
  // journal_mode is persistent in the file; synchronous is per connection.
  rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                    nullptr);
  if (rc != SQLITE_OK) {
    *error = TranslateError(rc, db, "configuring the store");
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

}  // namespace

DWORD TranslateError(int rc, sqlite3* db, const char* what) {
  last_detail = std::string(what) + ": " +
                (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_TIMEOUT;
    case SQLITE_CONSTRAINT:
      return ERROR_ALREADY_EXISTS;
    case SQLITE_TOOBIG:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_INTERNAL_ERROR;
  }
}

const std::string& LastErrorDetail() { return last_detail; }

DWORD SetStoreWait(DWORD ms) {
  const DWORD previous = static_cast<DWORD>(store_wait_ms);
  store_wait_ms = static_cast<int>(std::min<DWORD>(ms, INT32_MAX));
  return previous;
}

Status OpenStore(const std::string& root) {
  MutexLock lock(&device_mu);
  Status s = MapSignal(root);
  if (!s.ok()) return s;
  std::string path = root + "/store.db";
  DWORD error = ERROR_SUCCESS;
  sqlite3* db = OpenFile(path, &error);
  if (db == nullptr) return Status::Error(path + ": " + last_detail);
  // A store whose schema is current is opened with a read, so that a
  // program that only reads opens at once while another one writes.
  if (SchemaVersion(db) < kSchemaVersion) {
    // Decided again under the write lock: another process may have brought
    // the file up to date meanwhile, and a migration must run only once.
    char* message = nullptr;
    int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, &message);
    if (rc == SQLITE_OK && SchemaVersion(db) < kSchemaVersion) {
      const bool migrate = NotificationsNumberedByAutoincrement(db);
      rc = sqlite3_exec(db, kSchema, nullptr, nullptr, &message);
      if (rc == SQLITE_OK && migrate) {
        rc = sqlite3_exec(db, kMigrateNotifications, nullptr, nullptr, &message);
      }
    }
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, &message);
    std::string detail = message != nullptr ? message : "";
    sqlite3_free(message);
    if (rc != SQLITE_OK) {
      sqlite3_close(db);  // rolls back what was begun
      return Status::Error(path + ": creating the schema: " + detail);
    }
  }
  sqlite3_close(db);
  db_path = path;
  generation.fetch_add(1);
  store_open.store(true);
  return Status::Ok();
}

void CloseStore() {
  MutexLock lock(&device_mu);
  store_open.store(false);
  generation.fetch_add(1);
  db_path.clear();
  slot.conn.reset();
}

Connection::~Connection() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  sqlite3_close(db_);
}

sqlite3_stmt* Connection::Prepare(const char* sql, DWORD* error) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    *error = TranslateError(rc, db_, "preparing a statement");
    return nullptr;
  }
  statements_.emplace(sql, stmt);
  return stmt;
}

Connection* ThreadConnection(DWORD* error) {
  uint64_t current = generation.load();
  if (!store_open.load()) {
    slot.conn.reset();
    last_detail = "no device is open";
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (slot.conn != nullptr && slot.generation == current) return slot.conn.get();
  slot.conn.reset();
  std::string path;
  {
    MutexLock lock(&device_mu);
    path = db_path;
    current = generation.load();
  }
  if (path.empty()) {
    last_detail = "no device is open";
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  sqlite3* db = OpenFile(path, error);
  if (db == nullptr) return nullptr;
  slot.conn.reset(new Connection(db));
  slot.generation = current;
  return slot.conn.get();
}

uint32_t Connection::DataVersion() const {
  unsigned int version = 0;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_DATA_VERSION, &version);
  return version;
}

void Connection::DropCache() {
  cache_ = WriteCache();
  cache_stamped_ = false;
  kept_changes_ = sqlite3_total_changes64(db_);
}

WriteCache* Connection::Cache() {
  assert(sqlite3_get_autocommit(db_) == 0);
  if (sqlite3_total_changes64(db_) != kept_changes_) DropCache();
  return &cache_;
}

void Connection::KeepCache() { kept_changes_ = sqlite3_total_changes64(db_); }

void Connection::WriteBegan() {
  // The version moves with every commit to the file, this connection's
  // included, and SQLite reads it when a transaction takes its snapshot:
  // unchanged since this connection's own last commit, nobody else wrote.
  if (!cache_stamped_ || DataVersion() != cache_version_) DropCache();
  kept_changes_ = sqlite3_total_changes64(db_);
}

void Connection::WriteCommitted() {
  if (sqlite3_total_changes64(db_) != kept_changes_) {
    DropCache();
    return;
  }
  // Nobody else can have committed in between: the pager looks at the
  // file again only when the next transaction begins.
  cache_version_ = DataVersion();
  cache_stamped_ = true;
}

Query::Query(Connection* conn, const char* sql) : conn_(conn), sql_(sql) {
  stmt_ = conn->Prepare(sql, &error_);
}

Query::~Query() {
  if (stmt_ != nullptr) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
}

Query& Query::Bind(int index, int64_t value) {
  if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Query& Query::Bind(int index, std::string_view text) {
  if (stmt_ != nullptr) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  return *this;
}

Query& Query::BindBlob(int index, const void* data, size_t size) {
  if (stmt_ != nullptr) {
    // A zero-length blob must still be a blob, not NULL.
    static const char kEmpty = 0;
    sqlite3_bind_blob64(stmt_, index, size == 0 ? &kEmpty : data, size, SQLITE_TRANSIENT);
  }
  return *this;
}

bool Query::Step() {
  if (stmt_ == nullptr) return false;
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) error_ = TranslateError(rc, conn_->db(), sql_);
  return false;
}

DWORD Query::Run() {
  if (stmt_ == nullptr) return error_;
  while (Step()) {
  }
  return error_;
}

int64_t Query::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string Query::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), size);
}

const void* Query::Blob(int column) const { return sqlite3_column_blob(stmt_, column); }
size_t Query::Size(int column) const { return sqlite3_column_bytes(stmt_, column); }
bool Query::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

namespace {

// The calling thread's open transactions (the outermost and its savepoints),
// and whether a nested write was kept for the outermost one to signal.
thread_local int txn_depth = 0;
thread_local bool nested_write_kept = false;

// Runs a statement of a transaction's ending whose failure nobody reports
// (prepared once per connection, like every other statement).
void RunQuietly(Connection* conn, const char* sql) {
  DWORD ignored = ERROR_SUCCESS;
  if (sqlite3_stmt* stmt = conn->Prepare(sql, &ignored)) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
    }
    sqlite3_reset(stmt);
  } else {
    sqlite3_exec(conn->db(), sql, nullptr, nullptr, nullptr);
  }
}

// Writes of this process that the shared counter has not counted (see
// DataStamp).
std::atomic<uint32_t> local_changes{0};

}  // namespace

bool InTransaction() { return txn_depth > 0; }

namespace {

// The file-control code by which the durability point first asks the VFS
// under the store whether it takes the point itself. The system's own VFS
// does not know the code; the tests' power-cut layer answers it to switch
// the point off, to show what the point prevents.
constexpr int kDurabilityPointControl = 0x484D0001;

// The log's file as the connection has it open; null before the
// connection's first read.
sqlite3_file* LogFile(sqlite3* db) {
  sqlite3_file* log = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) != SQLITE_OK) {
    return nullptr;
  }
  return log != nullptr && log->pMethods != nullptr ? log : nullptr;
}

}  // namespace

DWORD SyncToDisk() {
  if (InTransaction()) {
    last_detail = "the durability point inside a transaction";
    return ERROR_INVALID_HANDLE;
  }
  DWORD error = ERROR_SUCCESS;
  Connection* conn = ThreadConnection(&error);
  if (conn == nullptr) return error;
  sqlite3_file* log = LogFile(conn->db());
  if (log == nullptr) {
    // A connection opens the log at its first read.
    static const char kRead[] = "SELECT 1 FROM meta LIMIT 1";
    Query q(conn, kRead);
    if (q.Run() != ERROR_SUCCESS) return q.error();
    log = LogFile(conn->db());
  }
  if (log == nullptr) {
    last_detail = "the store's log is not open";
    return ERROR_INTERNAL_ERROR;
  }
  if (log->pMethods->xFileControl(log, kDurabilityPointControl, nullptr) == SQLITE_OK) {
    return ERROR_SUCCESS;
  }
  const int rc = log->pMethods->xSync(log, SQLITE_SYNC_NORMAL);
  return rc == SQLITE_OK ? ERROR_SUCCESS : TranslateError(rc, nullptr, "syncing the store's log");
}

Transaction::Transaction(Kind kind) : kind_(kind) {
  conn_ = ThreadConnection(&error_);
  if (conn_ == nullptr) return;
  static const char kBeginRead[] = "BEGIN DEFERRED";
  static const char kBeginWrite[] = "BEGIN IMMEDIATE";
  static const char kSavepoint[] = "SAVEPOINT nested";
  nested_ = txn_depth > 0;
  if (nested_ && sqlite3_get_autocommit(conn_->db()) != 0) {
    // The outer transaction is gone: SQLite rolled it back after a failure
    // (a full disk, an I/O error). A savepoint now would start a transaction
    // of its own and commit work the caller meant to be part of the lost
    // one, so nothing more runs until the outer one ends.
    last_detail = "the enclosing transaction was rolled back by the store";
    error_ = ERROR_INVALID_HANDLE;
    conn_ = nullptr;
    return;
  }
  if (nested_ && kind == kRead) {
    // Reads inside a transaction have nothing to undo: no savepoint.
    open_ = true;
    ++txn_depth;
    return;
  }
  const char* sql = nested_ ? kSavepoint : kind == kWrite ? kBeginWrite : kBeginRead;
  error_ = Query(conn_, sql).Run();
  open_ = error_ == ERROR_SUCCESS;
  if (!open_) return;
  ++txn_depth;
  if (!nested_ && kind == kWrite) conn_->WriteBegan();
}

Transaction::~Transaction() {
  if (!open_) return;
  --txn_depth;
  if (nested_ && kind_ == kRead) return;
  static const char kRollbackTo[] = "ROLLBACK TO nested";
  static const char kRelease[] = "RELEASE nested";
  static const char kRollback[] = "ROLLBACK";
  if (nested_) {
    // Fails harmlessly when SQLite has already rolled the outer one back.
    RunQuietly(conn_, kRollbackTo);
    RunQuietly(conn_, kRelease);
  } else {
    RunQuietly(conn_, kRollback);
    nested_write_kept = false;
  }
  if (kind_ == kWrite) conn_->WriteRolledBack();
  // What this process read inside may have included the undone writes.
  if (kind_ == kWrite || nested_) local_changes.fetch_add(1);
}

DWORD Transaction::Commit(bool signal) {
  if (!open_) return error_ != ERROR_SUCCESS ? error_ : ERROR_INTERNAL_ERROR;
  if (nested_ && kind_ == kRead) {
    open_ = false;
    --txn_depth;
    return ERROR_SUCCESS;
  }
  static const char kCommit[] = "COMMIT";
  static const char kRelease[] = "RELEASE nested";
  DWORD error = Query(conn_, nested_ ? kRelease : kCommit).Run();
  if (error != ERROR_SUCCESS) return error;  // the destructor rolls back
  open_ = false;
  --txn_depth;
  if (nested_) {
    if (kind_ == kWrite) {
      nested_write_kept = true;
      local_changes.fetch_add(1);
    }
    return ERROR_SUCCESS;
  }
  const bool kept = nested_write_kept;
  nested_write_kept = false;
  if (kind_ == kWrite) conn_->WriteCommitted();
  if (kind_ == kWrite && (signal || kept)) SignalChange();
  return ERROR_SUCCESS;
}

uint32_t ChangeCount() {
  Signal* s = signal_map.load();
  if (s == nullptr) return 0;
  return std::atomic_ref<uint32_t>(s->counter).load();
}

// Both counters only grow, so their sum moves whenever either does.
uint32_t DataStamp() { return ChangeCount() + local_changes.load(); }

void SignalChange() {
  Signal* s = signal_map.load();
  if (s == nullptr) return;
  std::atomic_ref<uint32_t>(s->counter).fetch_add(1);
  // Waiters of dead processes may leave `waiters` high: that costs a
  // needless wake-up call per write, nothing more.
  if (std::atomic_ref<uint32_t>(s->waiters).load() != 0) {
    Futex(&s->counter, FUTEX_WAKE, INT32_MAX, nullptr);
  }
}

void WaitForChange(uint32_t seen, int timeout_ms) {
  Signal* s = signal_map.load();
  if (s == nullptr) return;
  timespec ts{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
  WaitForCounter(s, seen, timeout_ms < 0 ? nullptr : &ts);
}

void WakeWaiters() { SignalChange(); }

DWORD StoreUsedBytes(Connection* conn, int64_t* used) {
  static const char kSql[] = "SELECT coalesce(sum(size), 0) + count(*) * ? FROM databases";
  Query q(conn, kSql);
  q.Bind(1, kDatabaseOverhead);
  if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_INTERNAL_ERROR;
  *used = q.Int(0);
  return ERROR_SUCCESS;
}

int64_t NowUnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool ToUtf8(std::u16string_view in, std::string* out) {
  out->clear();
  return AppendUtf16AsUtf8(in, out, /*strict=*/true);
}

std::u16string FromUtf8(std::string_view in) {
  std::u16string out;
  AppendUtf8AsUtf16(in, &out, /*strict=*/false);
  return out;
}

}  // namespace platform::store
