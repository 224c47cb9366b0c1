#include "platform/db_notifier.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "platform/window.h"

namespace platform {
namespace {

using store::Connection;
using store::Query;
using store::Transaction;

struct Watch {
  CEOID db;
  HWND window;
  int64_t position;  // the last log row this watch has passed
};

struct Notifier {
  Mutex mu;
  // Posting happens under `mu`, so RemoveDbWatch can promise that nothing
  // more is posted once it returns.
  std::map<int64_t, Watch> watches GUARDED_BY(mu);
  bool stop GUARDED_BY(mu) = false;
  bool running GUARDED_BY(mu) = false;
  std::thread thread GUARDED_BY(mu);
  bool positions_dirty GUARDED_BY(mu) = false;
  std::chrono::steady_clock::time_point last_cleanup GUARDED_BY(mu);
};

Notifier& TheNotifier() {
  static Notifier* n = new Notifier;  // used by a thread until exit
  return *n;
}

constexpr int64_t kRowsPerRead = 512;
constexpr auto kCleanupInterval = std::chrono::seconds(1);

bool ProcessIsAlive(int64_t pid) {
  return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// Posts the log rows past the watches' positions; true when any watch moved.
bool Deliver(Notifier& n) REQUIRES(n.mu) {
  if (n.watches.empty()) return false;
  DWORD error = ERROR_SUCCESS;
  Connection* conn = store::ThreadConnection(&error);
  if (conn == nullptr) return false;
  bool moved = false;
  for (;;) {
    int64_t from = INT64_MAX;
    for (const auto& [id, w] : n.watches) from = std::min(from, w.position);
    static const char kSql[] =
        "SELECT seq, db, record, message FROM notifications WHERE seq > ? ORDER BY seq LIMIT ?";
    Query q(conn, kSql);
    q.Bind(1, from).Bind(2, kRowsPerRead);
    int64_t rows = 0;
    while (q.Step()) {
      ++rows;
      int64_t seq = q.Int(0);
      CEOID db = static_cast<CEOID>(q.Int(1));
      for (auto& [id, w] : n.watches) {
        if (w.position >= seq) continue;
        if (w.db == db) {
          PostMessageW(w.window, static_cast<UINT>(q.Int(3)), static_cast<WPARAM>(q.Int(2)),
                       static_cast<LPARAM>(db));
        }
        w.position = seq;
        moved = true;
      }
    }
    if (rows < kRowsPerRead) break;
  }
  return moved;
}

// Drops the watches of dead processes (and, when `own` is given, stale ones
// under this process's id that it does not hold) and prunes the rows every
// remaining watch has passed. Inside a write transaction.
DWORD DropDeadAndPrune(Connection* conn, const std::map<int64_t, Watch>* own) {
  std::vector<std::pair<int64_t, int64_t>> rows;  // id, pid
  static const char kAll[] = "SELECT id, pid FROM watchers";
  {
    Query q(conn, kAll);
    while (q.Step()) rows.emplace_back(q.Int(0), q.Int(1));
    if (q.error() != ERROR_SUCCESS) return q.error();
  }
  int64_t me = getpid();
  static const char kDrop[] = "DELETE FROM watchers WHERE id = ?";
  for (const auto& [id, pid] : rows) {
    bool stale = pid == me ? own != nullptr && own->count(id) == 0 : !ProcessIsAlive(pid);
    if (!stale) continue;
    DWORD error = Query(conn, kDrop).Bind(1, id).Run();
    if (error != ERROR_SUCCESS) return error;
  }
  static const char kPrune[] =
      "DELETE FROM notifications WHERE seq <= "
      "coalesce((SELECT min(position) FROM watchers), "
      "         (SELECT seq FROM sqlite_sequence WHERE name = 'notifications'), 0)";
  return Query(conn, kPrune).Run();
}

// Stores this process's positions and prunes. Quiet: it wakes nobody.
void Housekeep(Notifier& n) REQUIRES(n.mu) {
  Transaction txn(Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) return;
  Connection* conn = txn.conn();
  static const char kPosition[] = "UPDATE watchers SET position = ? WHERE id = ?";
  for (const auto& [id, w] : n.watches) {
    if (Query(conn, kPosition).Bind(1, w.position).Bind(2, id).Run() != ERROR_SUCCESS) return;
  }
  if (DropDeadAndPrune(conn, &n.watches) != ERROR_SUCCESS) return;
  if (txn.Commit(/*signal=*/false) == ERROR_SUCCESS) {
    n.positions_dirty = false;
    n.last_cleanup = std::chrono::steady_clock::now();
  }
}

void Run() {
  Notifier& n = TheNotifier();
  for (;;) {
    uint32_t seen = store::ChangeCount();
    {
      MutexLock lock(&n.mu);
      if (n.stop) return;
      if (Deliver(n)) n.positions_dirty = true;
      if (n.positions_dirty &&
          std::chrono::steady_clock::now() - n.last_cleanup >= kCleanupInterval) {
        Housekeep(n);
      }
    }
    // While positions wait to be stored, wake once more when the interval
    // is over; otherwise sleep until the next change.
    bool dirty;
    {
      MutexLock lock(&n.mu);
      dirty = n.positions_dirty;
    }
    store::WaitForChange(seen, dirty ? 1000 : -1);
  }
}

}  // namespace

DWORD AddDbWatch(CEOID database, HWND window, int64_t* watch) {
  int64_t id = 0;
  int64_t position = 0;
  {
    Transaction txn(Transaction::kWrite);
    if (txn.error() != ERROR_SUCCESS) return txn.error();
    Connection* conn = txn.conn();
    static const char kNext[] = "SELECT value FROM meta WHERE key = 'next_watch'";
    static const char kBump[] = "UPDATE meta SET value = value + 1 WHERE key = 'next_watch'";
    static const char kSeq[] =
        "SELECT coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'notifications'), 0)";
    static const char kInsert[] = "INSERT INTO watchers(id, pid, db, position) VALUES(?, ?, ?, ?)";
    {
      Query q(conn, kNext);
      if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_INTERNAL_ERROR;
      id = q.Int(0);
    }
    {
      Query q(conn, kSeq);
      if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_INTERNAL_ERROR;
      position = q.Int(0);
    }
    DWORD error = Query(conn, kBump).Run();
    if (error == ERROR_SUCCESS) {
      error = Query(conn, kInsert)
                  .Bind(1, id)
                  .Bind(2, static_cast<int64_t>(getpid()))
                  .Bind(3, database)
                  .Bind(4, position)
                  .Run();
    }
    if (error == ERROR_SUCCESS) error = txn.Commit(/*signal=*/false);
    if (error != ERROR_SUCCESS) return error;
  }
  Notifier& n = TheNotifier();
  MutexLock lock(&n.mu);
  n.watches[id] = Watch{database, window, position};
  if (!n.running) {
    n.stop = false;
    n.running = true;
    n.last_cleanup = std::chrono::steady_clock::time_point();
    n.thread = std::thread(Run);
  }
  *watch = id;
  return ERROR_SUCCESS;
}

void RemoveDbWatch(int64_t watch) {
  Notifier& n = TheNotifier();
  {
    MutexLock lock(&n.mu);
    if (n.watches.erase(watch) == 0) return;
  }
  DWORD error = ERROR_SUCCESS;
  Connection* conn = store::ThreadConnection(&error);
  if (conn == nullptr) return;
  // Failing here only leaves a row that the next housekeeping drops.
  static const char kDrop[] = "DELETE FROM watchers WHERE id = ?";
  Query(conn, kDrop).Bind(1, watch).Run();
}

DWORD RecordDbNotification(Connection* conn, CEOID database, CEOID record, UINT message) {
  static const char kSql[] =
      "INSERT INTO notifications(db, record, message) "
      "SELECT ?1, ?2, ?3 WHERE EXISTS (SELECT 1 FROM watchers WHERE db = ?1)";
  return Query(conn, kSql).Bind(1, database).Bind(2, record).Bind(3, message).Run();
}

void PruneDeadWatches() {
  Transaction txn(Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) return;
  // This process holds no watch yet, so rows under its id are stale too.
  static const std::map<int64_t, Watch> kNone;
  if (DropDeadAndPrune(txn.conn(), &kNone) == ERROR_SUCCESS) txn.Commit(/*signal=*/false);
}

void StopDbNotifier() {
  Notifier& n = TheNotifier();
  std::thread thread;
  std::vector<int64_t> ids;
  {
    MutexLock lock(&n.mu);
    if (!n.running) return;
    n.stop = true;
    thread = std::move(n.thread);
    for (const auto& [id, w] : n.watches) ids.push_back(id);
    n.watches.clear();
  }
  store::WakeWaiters();
  thread.join();
  for (int64_t id : ids) {
    DWORD error = ERROR_SUCCESS;
    Connection* conn = store::ThreadConnection(&error);
    if (conn == nullptr) break;
    static const char kDrop[] = "DELETE FROM watchers WHERE id = ?";
    Query(conn, kDrop).Bind(1, id).Run();
  }
  MutexLock lock(&n.mu);
  n.running = false;
  n.stop = false;
}

}  // namespace platform
