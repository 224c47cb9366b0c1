#include "platform/db_notifier.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "platform/window.h"
#include "platform/window_table.h"

namespace platform {
namespace {

using store::Connection;
using store::Query;
using store::Transaction;

struct Watch {
  CEOID db;
  HWND window;
  int64_t position;  // the last log row this watch has passed
  bool journaled;    // made while this process held its journal
};

// The journal this process holds (platform/notification_journal.h).
struct Journal {
  bool open = false;
  std::string name;
  // Acknowledged through this row: `stored` as the store has it, `acked`
  // as this process knows it (ahead of `stored` until written).
  int64_t stored = 0;
  int64_t acked = 0;
  // Delivery waits for CeFlushNotifications after a claim.
  bool paused = false;
  // The databases that were in the journal when it was claimed: a watch of
  // one of them starts at the journal's position, so its pending
  // notifications are posted too.
  std::set<CEOID> inherited;
  // Taken over from a holder that died (else made afresh).
  bool taken_over = false;
};

struct Notifier {
  Mutex mu;
  // Posting happens under `mu`, so RemoveDbWatch can promise that nothing
  // more is posted once it returns.
  std::map<int64_t, Watch> watches GUARDED_BY(mu);
  // Watches removed whose rows the next housekeeping deletes (again): a
  // housekeeping that read `watches` before the removal writes the row back.
  std::set<int64_t> removed GUARDED_BY(mu);
  Journal journal GUARDED_BY(mu);
  // Every log row up to this one has been looked at by the last delivery
  // (posted where it had a watch); flushes wait on `delivered`.
  int64_t delivered_through GUARDED_BY(mu) = 0;
  CondVar delivered;
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
constexpr char kDropWatch[] = "DELETE FROM watchers WHERE id = ?";
// How long the open's clean-up of dead watches waits for a busy store.
constexpr DWORD kHousekeepingStoreWaitMs = 100;
constexpr auto kCleanupInterval = std::chrono::seconds(1);
// A read of the log follows the one before by at least this much: the first
// change after a quiet spell is posted at once, while a stream of commits
// (another program writing record after record) is read a batch at a time,
// not once per commit.
constexpr auto kDeliveryInterval = std::chrono::milliseconds(1);
constexpr auto kFlushLimit = std::chrono::seconds(30);

bool ProcessIsAlive(int64_t pid) {
  return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// Who a process is, beyond its pid, which the host hands out again after a
// restart or once it has wrapped: the host's boot and the process's start
// time. "" when it cannot be read (no such process).
std::string ProcessIdentity(int64_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return "";
  // Field 22 (start time); the name before it, in parentheses, may hold
  // anything, blanks and parentheses included.
  size_t close = line.rfind(')');
  if (close == std::string::npos) return "";
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
  }
  std::ifstream boot("/proc/sys/kernel/random/boot_id");
  std::string boot_id;
  std::getline(boot, boot_id);
  return boot_id + "/" + std::to_string(pid) + "/" + field;
}

// A journal's holder is alive when a process with its pid runs and is the
// same process.
bool HolderIsAlive(int64_t pid, const std::string& holder) {
  return ProcessIsAlive(pid) && !holder.empty() && ProcessIdentity(pid) == holder;
}

// The next notification number: past every row of the log and past
// meta.next_notification, which a delete of rows raises past what it takes
// away (KeepNumberingPastRows), so that no number comes back. Recording a
// notification does not write it.
const char kNextSequence[] =
    "SELECT max((SELECT value FROM meta WHERE key = 'next_notification'),"
    " (SELECT coalesce(max(seq), 0) + 1 FROM notifications))";

// Before rows of the log are deleted: meta.next_notification passes every
// row, so that the numbering goes on after them. Writes nothing when it is
// past them already.
DWORD KeepNumberingPastRows(Connection* conn) {
  static const char kSql[] =
      "UPDATE meta SET value = (SELECT max(seq) + 1 FROM notifications) "
      "WHERE key = 'next_notification' AND value <= (SELECT max(seq) FROM notifications)";
  return Query(conn, kSql).Run();
}

// The greatest sequence the notification log has handed out (0 when none):
// inside a transaction, exactly the rows committed before it began.
DWORD LastSequence(Connection* conn, int64_t* seq) {
  static const char kSql[] =
      "SELECT max((SELECT value FROM meta WHERE key = 'next_notification'),"
      " (SELECT coalesce(max(seq), 0) + 1 FROM notifications)) - 1";
  Query q(conn, kSql);
  if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_INTERNAL_ERROR;
  *seq = q.Int(0);
  return ERROR_SUCCESS;
}

void Post(const Watch& w, UINT message, CEOID record, CEOID db, int64_t seq, bool journal) {
  // Only a window of this process can tell its thread which notification it
  // took; one elsewhere gets the plain message.
  if (journal && w.journaled &&
      window_internal::PostNotificationToLocal(w.window, message, record, db,
                                               static_cast<uint64_t>(seq))) {
    return;
  }
  PostMessageW(w.window, message, static_cast<WPARAM>(record), static_cast<LPARAM>(db));
}

// Posts the log rows past the watches' positions, in sequence order; true
// when any watch moved. One read transaction, so the rows seen and the last
// sequence agree: afterwards every watch has passed every row committed
// before it, also rows deleted since (a deleted database takes its rows).
bool Deliver(Notifier& n) REQUIRES(n.mu) {
  if (n.watches.empty() || n.journal.paused) return false;
  Transaction txn(Transaction::kRead);
  if (txn.error() != ERROR_SUCCESS) return false;
  Connection* conn = txn.conn();
  int64_t last = 0;
  if (LastSequence(conn, &last) != ERROR_SUCCESS) return false;
  bool moved = false;
  for (;;) {
    int64_t from = INT64_MAX;
    for (const auto& [id, w] : n.watches) from = std::min(from, w.position);
    if (from >= last) break;
    static const char kSql[] =
        "SELECT seq, db, record, message FROM notifications WHERE seq > ? AND seq <= ? "
        "ORDER BY seq LIMIT ?";
    Query q(conn, kSql);
    q.Bind(1, from).Bind(2, last).Bind(3, kRowsPerRead);
    int64_t rows = 0;
    while (q.Step()) {
      ++rows;
      int64_t seq = q.Int(0);
      CEOID db = static_cast<CEOID>(q.Int(1));
      for (auto& [id, w] : n.watches) {
        if (w.position >= seq) continue;
        if (w.db == db) {
          Post(w, static_cast<UINT>(q.Int(3)), static_cast<CEOID>(q.Int(2)), db, seq,
               n.journal.open);
        }
        w.position = seq;
        moved = true;
      }
    }
    if (q.error() != ERROR_SUCCESS) return moved;
    if (rows < kRowsPerRead) break;
  }
  for (auto& [id, w] : n.watches) {
    if (w.position < last) {
      w.position = last;
      moved = true;
    }
  }
  n.delivered_through = std::max(n.delivered_through, last);
  n.delivered.NotifyAll();
  return moved;
}

// Drops the watches of dead processes (and, with `drop_own`, every one under
// this process's id: left by an earlier process that had the same pid) and
// prunes the rows every remaining watch and every journal has passed.
// Journals are kept whoever held them. Inside a write transaction.
DWORD DropDeadAndPrune(Connection* conn, bool drop_own) {
  std::vector<std::pair<int64_t, int64_t>> rows;  // id, pid
  static const char kAll[] = "SELECT id, pid FROM watchers";
  {
    Query q(conn, kAll);
    while (q.Step()) rows.emplace_back(q.Int(0), q.Int(1));
    if (q.error() != ERROR_SUCCESS) return q.error();
  }
  int64_t me = getpid();
  for (const auto& [id, pid] : rows) {
    bool stale = pid == me ? drop_own : !ProcessIsAlive(pid);
    if (!stale) continue;
    DWORD error = Query(conn, kDropWatch).Bind(1, id).Run();
    if (error != ERROR_SUCCESS) return error;
  }
  // Once the numbering is kept in meta, its value less one is the last
  // number handed out.
  static const char kPrune[] =
      "DELETE FROM notifications WHERE seq <= ("
      " SELECT min(p) FROM ("
      "  SELECT position AS p FROM watchers"
      "  UNION ALL SELECT position FROM journals"
      "  UNION ALL SELECT value - 1 FROM meta WHERE key = 'next_notification'))";
  DWORD error = KeepNumberingPastRows(conn);
  if (error != ERROR_SUCCESS) return error;
  return Query(conn, kPrune).Run();
}

// What housekeeping writes, taken under the notifier's mutex so that the
// write itself runs without it: a thread that holds the store's write lock
// (its own transaction) may need the mutex, and must not wait for a thread
// that waits for the store.
struct Snapshot {
  std::vector<std::pair<int64_t, Watch>> watches;
  std::set<int64_t> removed;
  bool journal_open = false;
  std::string journal;
  int64_t acked = 0;
};

// Stores this process's positions and acknowledgements (restoring any row
// of its own that a rolled-back transaction took with it) and prunes.
// Quiet: it wakes nobody.
void Housekeep(Notifier& n) EXCLUDES(n.mu) {
  Snapshot snap;
  {
    MutexLock lock(&n.mu);
    snap.watches.assign(n.watches.begin(), n.watches.end());
    snap.removed = n.removed;
    snap.journal_open = n.journal.open;
    snap.journal = n.journal.name;
    snap.acked = n.journal.acked;
  }
  Transaction txn(Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) return;
  Connection* conn = txn.conn();
  static const char kPosition[] =
      "INSERT INTO watchers(id, pid, db, position) VALUES(?1, ?2, ?3, ?4) "
      "ON CONFLICT(id) DO UPDATE SET position = excluded.position";
  static const char kJournalDb[] =
      "INSERT OR IGNORE INTO journal_dbs(journal, db) VALUES(?, ?)";
  static const char kAcked[] =
      "UPDATE journals SET position = max(position, ?) WHERE name = ? AND pid = ?";
  const int64_t me = getpid();
  for (const auto& [id, w] : snap.watches) {
    if (Query(conn, kPosition).Bind(1, id).Bind(2, me).Bind(3, w.db).Bind(4, w.position).Run() !=
        ERROR_SUCCESS) {
      return;
    }
    if (snap.journal_open && w.journaled &&
        Query(conn, kJournalDb).Bind(1, snap.journal).Bind(2, w.db).Run() != ERROR_SUCCESS) {
      return;
    }
  }
  if (snap.journal_open &&
      Query(conn, kAcked).Bind(1, snap.acked).Bind(2, snap.journal).Bind(3, me).Run() !=
          ERROR_SUCCESS) {
    return;
  }
  // Only the rows of watches known removed go: a row of this process that
  // `snap` does not hold may be a watch added since, whose row must stay so
  // that writes to its database are recorded.
  for (int64_t id : snap.removed) {
    if (Query(conn, kDropWatch).Bind(1, id).Run() != ERROR_SUCCESS) return;
  }
  if (DropDeadAndPrune(conn, /*drop_own=*/false) != ERROR_SUCCESS) return;
  if (txn.Commit(/*signal=*/false) != ERROR_SUCCESS) return;
  MutexLock lock(&n.mu);
  for (int64_t id : snap.removed) n.removed.erase(id);
  if (n.journal.open && n.journal.name == snap.journal) {
    n.journal.stored = std::max(n.journal.stored, snap.acked);
  }
  bool still_dirty = n.journal.open && n.journal.acked > n.journal.stored;
  for (const auto& [id, w] : n.watches) {
    auto it = std::find_if(snap.watches.begin(), snap.watches.end(),
                           [watch_id = id](const auto& s) { return s.first == watch_id; });
    if (it == snap.watches.end() || it->second.position != w.position) still_dirty = true;
  }
  // A watch removed meanwhile got its row back above: the next round drops it.
  if (!n.removed.empty()) still_dirty = true;
  n.positions_dirty = still_dirty;
  n.last_cleanup = std::chrono::steady_clock::now();
}

void Run() {
  Notifier& n = TheNotifier();
  for (auto last_read = std::chrono::steady_clock::time_point();;) {
    const auto next_read = last_read + kDeliveryInterval;
    if (std::chrono::steady_clock::now() < next_read) std::this_thread::sleep_until(next_read);
    last_read = std::chrono::steady_clock::now();
    uint32_t seen = store::ChangeCount();
    bool housekeep = false;
    {
      MutexLock lock(&n.mu);
      if (n.stop) return;
      if (Deliver(n)) n.positions_dirty = true;
      housekeep = n.positions_dirty &&
                  std::chrono::steady_clock::now() - n.last_cleanup >= kCleanupInterval;
    }
    if (housekeep) Housekeep(n);
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

void StartThreadLocked(Notifier& n) REQUIRES(n.mu) {
  if (n.running) return;
  n.stop = false;
  n.running = true;
  n.last_cleanup = std::chrono::steady_clock::time_point();
  n.thread = std::thread(Run);
}

}  // namespace

DWORD AddDbWatch(CEOID database, HWND window, int64_t* watch) {
  Notifier& n = TheNotifier();
  // Whether the watch belongs to the journal and where it starts are decided
  // under the mutex, then written; the mutex is not held across the store
  // write (see Snapshot).
  bool journaled;
  std::string journal;
  int64_t journal_start = -1;  // -1: from the current end of the log
  {
    MutexLock lock(&n.mu);
    journaled = n.journal.open;
    journal = n.journal.name;
    if (journaled && n.journal.inherited.count(database) != 0) {
      // Pending notifications of an inherited database are posted, unless
      // delivery has gone past them already (a database opened later
      // cannot be told what came before what was handled since).
      journal_start = std::max(n.journal.stored, n.journal.paused ? 0 : n.delivered_through);
    }
  }
  int64_t id = 0;
  int64_t position = 0;
  {
    Transaction txn(Transaction::kWrite);
    if (txn.error() != ERROR_SUCCESS) return txn.error();
    Connection* conn = txn.conn();
    static const char kNext[] = "SELECT value FROM meta WHERE key = 'next_watch'";
    static const char kBump[] = "UPDATE meta SET value = value + 1 WHERE key = 'next_watch'";
    static const char kInsert[] = "INSERT INTO watchers(id, pid, db, position) VALUES(?, ?, ?, ?)";
    static const char kJournalDb[] =
        "INSERT OR IGNORE INTO journal_dbs(journal, db) VALUES(?, ?)";
    {
      Query q(conn, kNext);
      if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_INTERNAL_ERROR;
      id = q.Int(0);
    }
    DWORD error = LastSequence(conn, &position);
    if (error != ERROR_SUCCESS) return error;
    if (journal_start >= 0) position = std::min(position, journal_start);
    error = Query(conn, kBump).Run();
    if (error == ERROR_SUCCESS) {
      error = Query(conn, kInsert)
                  .Bind(1, id)
                  .Bind(2, static_cast<int64_t>(getpid()))
                  .Bind(3, database)
                  .Bind(4, position)
                  .Run();
    }
    if (error == ERROR_SUCCESS && journaled) {
      error = Query(conn, kJournalDb).Bind(1, journal).Bind(2, database).Run();
    }
    if (error == ERROR_SUCCESS) error = txn.Commit(/*signal=*/false);
    if (error != ERROR_SUCCESS) return error;
  }
  MutexLock lock(&n.mu);
  n.watches[id] = Watch{database, window, position, journaled && n.journal.open};
  // The rows written for this watch may belong to a caller's transaction
  // that is rolled back yet: the next housekeeping writes them again.
  n.positions_dirty = true;
  StartThreadLocked(n);
  *watch = id;
  return ERROR_SUCCESS;
}

void RemoveDbWatch(int64_t watch) {
  Notifier& n = TheNotifier();
  {
    MutexLock lock(&n.mu);
    if (n.watches.erase(watch) == 0) return;
    n.removed.insert(watch);
    n.positions_dirty = true;
  }
  DWORD error = ERROR_SUCCESS;
  Connection* conn = store::ThreadConnection(&error);
  if (conn == nullptr) return;
  // Failing here only leaves a row that the next housekeeping drops.
  Query(conn, kDropWatch).Bind(1, watch).Run();
}

DWORD RecordDbNotification(Connection* conn, CEOID database, CEOID record, UINT message) {
  // Asked apart from the insert: an insert into the log, even one that adds
  // no row, costs several times the look-up, and most writes of a device
  // (its change logs among them) are to databases nobody watches. The
  // answer and the next number are kept in the connection's write cache,
  // which any change to the watches or the journals by anyone empties.
  static const char kWatched[] =
      "SELECT EXISTS (SELECT 1 FROM watchers WHERE db = ?1) "
      "OR EXISTS (SELECT 1 FROM journal_dbs WHERE db = ?1)";
  static const char kInsert[] =
      "INSERT INTO notifications(seq, db, record, message) VALUES(?, ?, ?, ?)";
  store::WriteCache* cache = conn->Cache();
  auto known = cache->watched.find(database);
  if (known == cache->watched.end()) {
    Query watched(conn, kWatched);
    watched.Bind(1, database);
    if (!watched.Step()) return watched.error() != ERROR_SUCCESS ? watched.error() : ERROR_INTERNAL_ERROR;
    known = cache->watched.emplace(database, watched.Int(0) != 0).first;
  }
  if (!known->second) return ERROR_SUCCESS;
  if (!cache->next_notification_known) {
    Query next(conn, kNextSequence);
    if (!next.Step()) return next.error() != ERROR_SUCCESS ? next.error() : ERROR_INTERNAL_ERROR;
    cache->next_notification = next.Int(0);
    cache->next_notification_known = true;
  }
  DWORD error = Query(conn, kInsert)
                    .Bind(1, cache->next_notification)
                    .Bind(2, database)
                    .Bind(3, record)
                    .Bind(4, message)
                    .Run();
  if (error != ERROR_SUCCESS) return error;
  ++cache->next_notification;
  conn->KeepCache();
  return ERROR_SUCCESS;
}

DWORD ForgetDbNotifications(Connection* conn, CEOID database) {
  static const char kSql[] = "DELETE FROM notifications WHERE db = ?";
  DWORD error = KeepNumberingPastRows(conn);
  if (error != ERROR_SUCCESS) return error;
  return Query(conn, kSql).Bind(1, database).Run();
}

void PruneDeadWatches() {
  // Housekeeping that the next open does as well: a busy store is not
  // waited for, so that a program that only reads opens at once.
  const DWORD wait = store::SetStoreWait(kHousekeepingStoreWaitMs);
  Transaction txn(Transaction::kWrite);
  store::SetStoreWait(wait);
  if (txn.error() != ERROR_SUCCESS) return;
  // This process holds no watch yet, so rows under its id are stale too.
  if (DropDeadAndPrune(txn.conn(), /*drop_own=*/true) == ERROR_SUCCESS) {
    txn.Commit(/*signal=*/false);
  }
}

void StopDbNotifier() {
  Notifier& n = TheNotifier();
  std::thread thread;
  std::vector<int64_t> ids;
  {
    MutexLock lock(&n.mu);
    n.journal = Journal();
    n.delivered_through = 0;
    if (!n.running) return;
    n.stop = true;
    thread = std::move(n.thread);
    for (const auto& [id, w] : n.watches) ids.push_back(id);
    ids.insert(ids.end(), n.removed.begin(), n.removed.end());
    n.watches.clear();
    n.removed.clear();
  }
  store::WakeWaiters();
  thread.join();
  for (int64_t id : ids) {
    DWORD error = ERROR_SUCCESS;
    Connection* conn = store::ThreadConnection(&error);
    if (conn == nullptr) break;
      Query(conn, kDropWatch).Bind(1, id).Run();
  }
  MutexLock lock(&n.mu);
  n.running = false;
  n.stop = false;
}

DWORD ClaimJournal(const std::string& name, bool* taken_over) {
  Notifier& n = TheNotifier();
  {
    MutexLock lock(&n.mu);
    if (n.journal.open) return ERROR_ALREADY_EXISTS;
  }
  *taken_over = false;
  const int64_t me = getpid();
  int64_t position = 0;
  std::set<CEOID> inherited;
  {
    Transaction txn(Transaction::kWrite);
    if (txn.error() != ERROR_SUCCESS) return txn.error();
    Connection* conn = txn.conn();
    static const char kFind[] = "SELECT pid, holder, position FROM journals WHERE name = ?";
    static const char kTake[] = "UPDATE journals SET pid = ?, holder = ? WHERE name = ?";
    static const char kCreate[] =
        "INSERT INTO journals(name, pid, holder, position) VALUES(?, ?, ?, ?)";
    static const char kDbs[] = "SELECT db FROM journal_dbs WHERE journal = ?";
    const std::string identity = ProcessIdentity(me);
    bool exists = false;
    int64_t holder_pid = 0;
    std::string holder;
    {
      Query q(conn, kFind);
      q.Bind(1, name);
      if (q.Step()) {
        exists = true;
        holder_pid = q.Int(0);
        holder = q.Text(1);
        position = q.Int(2);
      } else if (q.error() != ERROR_SUCCESS) {
        return q.error();
      }
    }
    DWORD error = ERROR_SUCCESS;
    if (exists) {
      if (holder != identity && HolderIsAlive(holder_pid, holder)) return ERROR_SHARING_VIOLATION;
      error = Query(conn, kTake).Bind(1, me).Bind(2, identity).Bind(3, name).Run();
      Query q(conn, kDbs);
      q.Bind(1, name);
      while (error == ERROR_SUCCESS && q.Step()) inherited.insert(static_cast<CEOID>(q.Int(0)));
      if (error == ERROR_SUCCESS) error = q.error();
    } else {
      error = LastSequence(conn, &position);
      if (error == ERROR_SUCCESS) {
        error = Query(conn, kCreate).Bind(1, name).Bind(2, me).Bind(3, identity).Bind(4, position).Run();
      }
    }
    if (error == ERROR_SUCCESS) error = txn.Commit(/*signal=*/false);
    if (error != ERROR_SUCCESS) return error;
    *taken_over = exists;
  }
  const bool exists_taken_over = *taken_over;
  MutexLock lock(&n.mu);
  n.journal.open = true;
  n.journal.name = name;
  n.journal.stored = position;
  n.journal.acked = position;
  n.journal.paused = true;
  n.journal.inherited = std::move(inherited);
  n.journal.taken_over = exists_taken_over;
  return ERROR_SUCCESS;
}

DWORD JournalInherited(CEOID database, bool* watched) {
  Notifier& n = TheNotifier();
  MutexLock lock(&n.mu);
  if (!n.journal.open || !n.journal.taken_over) return ERROR_NOT_FOUND;
  *watched = n.journal.inherited.count(database) != 0;
  return ERROR_SUCCESS;
}

DWORD FlushDelivery() {
  Notifier& n = TheNotifier();
  int64_t last = 0;
  {
    DWORD error = ERROR_SUCCESS;
    Connection* conn = store::ThreadConnection(&error);
    if (conn == nullptr) return error;
    Transaction txn(Transaction::kRead);
    if (txn.error() != ERROR_SUCCESS) return txn.error();
    error = LastSequence(conn, &last);
    if (error != ERROR_SUCCESS) return error;
  }
  MutexLock lock(&n.mu);
  n.journal.paused = false;
  if (n.watches.empty() || !n.running) return ERROR_SUCCESS;
  const auto deadline = std::chrono::steady_clock::now() + kFlushLimit;
  while (n.delivered_through < last) {
    {
      MutexUnlock unlocked(&n.mu);
      store::WakeWaiters();
    }
    if (n.delivered_through >= last) break;
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return ERROR_TIMEOUT;
    n.delivered.WaitFor(&n.mu, std::min<std::chrono::steady_clock::duration>(
                                   left, std::chrono::milliseconds(100)));
  }
  return ERROR_SUCCESS;
}

DWORD AcknowledgeDelivered(uint64_t journal_seq) {
  Notifier& n = TheNotifier();
  std::string name;
  {
    MutexLock lock(&n.mu);
    if (!n.journal.open || journal_seq == 0) return ERROR_NOT_FOUND;
    name = n.journal.name;
    if (!store::InTransaction()) {
      // Written by the next housekeeping.
      if (static_cast<int64_t>(journal_seq) > n.journal.acked) {
        n.journal.acked = static_cast<int64_t>(journal_seq);
        if (!n.positions_dirty) {
          n.positions_dirty = true;
          MutexUnlock unlocked(&n.mu);
          store::WakeWaiters();
        }
      }
      return ERROR_SUCCESS;
    }
  }
  // In the caller's transaction: durable exactly when its work is.
  Transaction txn(Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) return txn.error();
  static const char kAcked[] =
      "UPDATE journals SET position = max(position, ?) WHERE name = ? AND pid = ?";
  DWORD error = Query(txn.conn(), kAcked)
                    .Bind(1, static_cast<int64_t>(journal_seq))
                    .Bind(2, name)
                    .Bind(3, static_cast<int64_t>(getpid()))
                    .Run();
  if (error == ERROR_SUCCESS) error = txn.Commit(/*signal=*/false);
  if (error != ERROR_SUCCESS) return error;
  // Nothing is noted in memory: the caller may still roll back, and then
  // the acknowledgement must be gone with the work.
  return ERROR_SUCCESS;
}

DWORD CloseJournal() {
  Notifier& n = TheNotifier();
  std::string name;
  {
    MutexLock lock(&n.mu);
    if (!n.journal.open) return ERROR_INVALID_HANDLE;
    name = n.journal.name;
  }
  Transaction txn(Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) return txn.error();
  static const char kJournal[] = "DELETE FROM journals WHERE name = ? AND pid = ?";
  static const char kDbs[] = "DELETE FROM journal_dbs WHERE journal = ?";
  DWORD error = Query(txn.conn(), kJournal).Bind(1, name).Bind(2, static_cast<int64_t>(getpid())).Run();
  if (error == ERROR_SUCCESS) error = Query(txn.conn(), kDbs).Bind(1, name).Run();
  if (error == ERROR_SUCCESS) error = DropDeadAndPrune(txn.conn(), /*drop_own=*/false);
  if (error == ERROR_SUCCESS) error = txn.Commit(/*signal=*/false);
  if (error != ERROR_SUCCESS) return error;
  MutexLock lock(&n.mu);
  n.journal = Journal();
  for (auto& [id, w] : n.watches) w.journaled = false;
  return ERROR_SUCCESS;
}

DWORD ReleaseJournal() {
  Notifier& n = TheNotifier();
  std::string name;
  int64_t acked = 0;
  {
    MutexLock lock(&n.mu);
    if (!n.journal.open) return ERROR_INVALID_HANDLE;
    name = n.journal.name;
    acked = n.journal.acked;
  }
  // No holder: the next claim takes the journal over at once, as from a
  // holder that died, with every acknowledgement made so far kept.
  Transaction txn(Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) return txn.error();
  static const char kRelease[] =
      "UPDATE journals SET position = max(position, ?1), pid = 0, holder = '' "
      "WHERE name = ?2 AND pid = ?3";
  DWORD error =
      Query(txn.conn(), kRelease).Bind(1, acked).Bind(2, name).Bind(3, static_cast<int64_t>(getpid())).Run();
  if (error == ERROR_SUCCESS) error = txn.Commit(/*signal=*/false);
  if (error != ERROR_SUCCESS) return error;
  MutexLock lock(&n.mu);
  n.journal = Journal();
  for (auto& [id, w] : n.watches) w.journaled = false;
  return ERROR_SUCCESS;
}

DWORD JournalBacklog(const std::string& name, int64_t* pending) {
  Transaction txn(Transaction::kRead);
  if (txn.error() != ERROR_SUCCESS) return txn.error();
  static const char kFind[] = "SELECT position FROM journals WHERE name = ?";
  static const char kCount[] =
      "SELECT count(*) FROM notifications WHERE seq > ?1 AND db IN "
      "(SELECT db FROM journal_dbs WHERE journal = ?2)";
  int64_t position = 0;
  {
    Query q(txn.conn(), kFind);
    q.Bind(1, name);
    if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_FILE_NOT_FOUND;
    position = q.Int(0);
  }
  Query q(txn.conn(), kCount);
  q.Bind(1, position).Bind(2, name);
  if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_INTERNAL_ERROR;
  *pending = q.Int(0);
  return ERROR_SUCCESS;
}

}  // namespace platform
