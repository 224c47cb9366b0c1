// The device's SQLite file (internal to the platform): the connection of each
// thread, the schema, transactions, the one place where SQLite and host
// errors become device error codes, and the change signal that every process
// of the device shares.
//
// The file is `store.db` in the device root, in WAL mode with
// synchronous=NORMAL: a transaction is in the log once its commit returns, so
// a process killed at any later moment cannot lose it, but the commit syncs
// nothing to the disk: a power cut (or a crash of the host) returns the
// store to its last sync, which SQLite makes only at a checkpoint. What must
// outlive a power cut (what the desktop was shown before it commits it) is
// made so by SyncToDisk, the durability point. Every connection waits (a
// busy handler that looks again when the change signal moves, else every
// 50 us to 1 ms, as long as the thread's store wait) for another process's
// hold on the file instead of failing.
//
// Each thread has its own connection, opened on first use and reopened when
// the device was closed and another opened since (the device generation).
// Everything here is for the calling thread only, except the change signal.
#ifndef HOLLOWMARCH_PLATFORM_STORE_DB_H_
#define HOLLOWMARCH_PLATFORM_STORE_DB_H_

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/status.h"
#include "platform/types.h"

namespace platform::store {

// Opens the store of the device root `root` (creating the file, its schema
// and the signal file on first use) for this process. Called by OpenDevice.
Status OpenStore(const std::string& root);
// Every thread's connection becomes stale (closed on its next use or at the
// thread's exit). Called by CloseDevice.
void CloseStore();

// The device error code for a SQLite result code, remembering `what` and
// SQLite's message as the detail (LastErrorDetail) of the calling thread.
DWORD TranslateError(int rc, sqlite3* db, const char* what);
// The detail of the calling thread's last translated error.
const std::string& LastErrorDetail();

// What the store's frequent writes (an append, a delete) would otherwise
// read from the file in every transaction, kept by each connection between
// its transactions. Every field is a fact about the file as this
// connection's current write transaction sees it; the `known` flags say
// which facts are held. Filled and used by the object store and the
// notifier; store_db only decides when it must be emptied (Connection::Cache).
struct WriteCache {
  // The next identifier to hand out (object_store.cc).
  bool next_oid_known = false;
  int64_t next_oid = 0;
  // The next notification number (db_notifier.cc).
  bool next_notification_known = false;
  int64_t next_notification = 0;
  // The device's store-capacity setting (0: none).
  bool capacity_known = false;
  int64_t capacity = 0;
  // Whether a database is watched (by a handle or a journal), per database.
  std::unordered_map<CEOID, bool> watched;
};

// The calling thread's connection. Prepared statements are kept per
// connection, keyed by the address of their SQL text (pass literals).
class Connection {
 public:
  ~Connection();
  sqlite3* db() const { return db_; }
  // The prepared statement for `sql`, reset; null on failure (*error set).
  sqlite3_stmt* Prepare(const char* sql, DWORD* error);

  // The write cache, inside a write transaction only. It comes back empty
  // when the file may have changed in a way it does not know of: another
  // connection (of this process or another) committed since this one's
  // last write transaction (SQLite's data version, read when a write
  // transaction begins), or this connection wrote rows since the cache's
  // last KeepCache. It is emptied when a transaction or savepoint is rolled
  // back. So a fact held here is never older than the file.
  WriteCache* Cache();
  // After writing rows whose effect on the cached facts the caller has
  // applied to the cache: the cache stays in use. Without it, any write
  // empties the cache at its next use.
  void KeepCache();

 private:
  friend Connection* ThreadConnection(DWORD* error);
  friend class Transaction;
  explicit Connection(sqlite3* db) : db_(db) {}
  uint32_t DataVersion() const;
  void DropCache();
  // Called by Transaction: an outermost write transaction began or was
  // committed; a write transaction or savepoint was rolled back.
  void WriteBegan();
  void WriteCommitted();
  void WriteRolledBack() { DropCache(); }

  sqlite3* db_;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
  WriteCache cache_;
  // The data version after this connection's last commit that left the
  // cache true; false when there is none (the cache is then emptied when
  // the next write transaction begins).
  bool cache_stamped_ = false;
  uint32_t cache_version_ = 0;
  // sqlite3_total_changes64 as of the last KeepCache (or emptying).
  int64_t kept_changes_ = 0;
};

// How long the calling thread's store calls wait for another connection's
// write transaction before they fail with ERROR_TIMEOUT (60,000 ms until
// set); returns the previous wait. Thread-scoped, like the connection.
DWORD SetStoreWait(DWORD ms);

// Null with *error set when no device is open or the file cannot be opened.
Connection* ThreadConnection(DWORD* error);

// One statement's use: binds, steps, and resets on destruction.
class Query {
 public:
  Query(Connection* conn, const char* sql);
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  DWORD error() const { return error_; }

  Query& Bind(int index, int64_t value);
  Query& Bind(int index, std::string_view text);
  Query& BindBlob(int index, const void* data, size_t size);

  // True when a row is ready; false at the end or on failure (error() then
  // non-zero).
  bool Step();
  // Runs a statement that returns no rows; ERROR_SUCCESS or the error.
  DWORD Run();

  int64_t Int(int column) const;
  std::string Text(int column) const;
  const void* Blob(int column) const;
  size_t Size(int column) const;
  bool IsNull(int column) const;

 private:
  Connection* conn_;
  const char* sql_;
  sqlite3_stmt* stmt_ = nullptr;
  DWORD error_ = ERROR_SUCCESS;
};

// One transaction on the calling thread's connection. A write transaction
// takes the file's write lock at once (waiting for other writers), so that
// its reads and writes form one atomic step. Rolled back unless committed.
//
// Transactions nest: one begun while the thread has another open becomes a
// savepoint of it. Committing a nested one keeps its work for the outer
// transaction to commit or roll back; destroying it uncommitted undoes only
// its own work. So a platform call that runs inside a caller's transaction
// (CeBeginTransaction) keeps its all-or-nothing meaning while its effect
// lands only with the caller's commit. The outermost one must be a write
// transaction for nested writes to be allowed. A nested read transaction is
// no savepoint (it has nothing to undo) and costs nothing.
class Transaction {
 public:
  enum Kind { kRead, kWrite };
  explicit Transaction(Kind kind);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // ERROR_SUCCESS when the transaction began.
  DWORD error() const { return error_; }
  Connection* conn() const { return conn_; }
  bool nested() const { return nested_; }
  // Commits; a write transaction then signals the change to every process,
  // unless `signal` is false (bookkeeping that no reader needs to see). A
  // nested transaction only releases its savepoint; the outermost one
  // signals for all of them.
  DWORD Commit(bool signal = true);

 private:
  Kind kind_;
  Connection* conn_ = nullptr;
  DWORD error_ = ERROR_SUCCESS;
  bool open_ = false;
  bool nested_ = false;
};

// True when the calling thread has a transaction open.
bool InTransaction();

// The durability point: every transaction committed so far, by any
// connection of any process of the device, is on the disk when it returns
// ERROR_SUCCESS, so that no power cut can take it back. One sync of the
// log (everything a checkpoint has copied out of it was synced in the
// database file before the log could be reused), whatever was committed
// since the last one. Not inside a transaction (ERROR_INVALID_HANDLE then).
// The error of the sync otherwise: nothing is rolled back, but what was
// committed may be lost in a power cut.
DWORD SyncToDisk();

// The change signal: a counter in a small file of the device root, mapped by
// every process, bumped after every committed write. Watchers wait on it
// without polling (a shared futex).
uint32_t ChangeCount();
// What a cache of store contents in this process compares to tell whether
// it may still be used: it moves with ChangeCount and also with every write
// of this process that is not yet committed (a nested transaction's) and
// with every rollback of a write, which the shared counter does not see.
uint32_t DataStamp();
void SignalChange();
// Returns when the counter differs from `seen`, when `timeout_ms` passed
// (negative: no limit), or when WakeWaiters was called; it may also return
// early for no reason, so callers re-check.
void WaitForChange(uint32_t seen, int timeout_ms);
// Wakes every waiter of this device (e.g. to stop a watcher thread).
void WakeWaiters();

// What every database costs the store beside its records, for the capacity.
constexpr int64_t kDatabaseOverhead = 64;
// The bytes the object store uses as its capacity counts them: every
// database's records as its size holds them (their encoded properties and a
// fixed overhead each) and kDatabaseOverhead per database. Inside a
// transaction on `conn`; ERROR_SUCCESS or the error.
DWORD StoreUsedBytes(Connection* conn, int64_t* used);

// Small helpers shared by the store's users.
int64_t NowUnixMs();
// The store's text is UTF-8: a name with a lone surrogate is refused (false),
// and text read back is trusted (it was written by ToUtf8).
bool ToUtf8(std::u16string_view in, std::string* out);
std::u16string FromUtf8(std::string_view in);

}  // namespace platform::store

#endif  // HOLLOWMARCH_PLATFORM_STORE_DB_H_
