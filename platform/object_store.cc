// The object store over the device's SQLite file.
//
// Records of a database are ordered by identifier: identifiers are taken
// from one increasing device-wide counter, so that is the order of first
// write. A handle's position is therefore a key, "the first record whose
// identifier is at least `position`", which stays meaningful while other
// handles and processes add and delete records. Reading a record with
// CEDB_AUTOINCREMENT moves the position just past it, so records appended
// later are read next.
//
// A record's properties are one blob in its row (record_codec.h).
//
// Each handle keeps a read-ahead batch of the records after its position,
// valid while the store's change counter (store_db.h) is unchanged: any
// committed write anywhere on the device discards it.
#include "platform/object_store.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db_notifier.h"
#include "platform/fault.h"
#include "platform/handle_table.h"
#include "platform/kernel.h"
#include "platform/mutex.h"
#include "platform/record_codec.h"
#include "platform/record_order.h"
#include "platform/store_db.h"

namespace {

using platform::store::Connection;
using platform::store::CountRecordsBefore;
using platform::store::Query;
using platform::store::RecordAtIndex;
using platform::store::Transaction;
using platform::record_codec::ApplyWrite;
using platform::record_codec::DecodeRecord;
using platform::record_codec::EncodeRecord;
using platform::record_codec::PlanReadLayout;
using platform::record_codec::ReadLayout;
using platform::record_codec::StoredProperties;
using platform::record_codec::WriteReadLayout;

// Accounting of the store's use, for the capacity: every record costs its
// encoded properties plus a fixed overhead (kept per database in its size),
// every database a fixed amount (store_db.h, StoreUsedBytes).
constexpr int64_t kRecordOverhead = 16;
constexpr int64_t kAtEnd = std::numeric_limits<int64_t>::max();
constexpr size_t kReadAheadRecords = 256;
constexpr int kMaxNameChars = CEDB_MAXDBASENAMELEN - 1;

// FILETIME is 100-ns intervals since 1601; Unix ms start 11644473600 s later.
FILETIME FileTimeFromUnixMs(int64_t ms) {
  uint64_t t = static_cast<uint64_t>(ms + 11644473600000LL) * 10000ULL;
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

struct Record {
  CEOID oid = 0;
  std::string props;  // the row form (record_codec.h)
};

class DatabaseHandle : public platform::HandleObject {
 public:
  DatabaseHandle(CEOID db, DWORD flags) : db_(db), flags_(flags) {}
  ~DatabaseHandle() override = default;
  void Close() override {
    platform::MutexLock lock(&mu_);
    if (watch_ != 0) platform::RemoveDbWatch(watch_);
    watch_ = 0;
  }

  const CEOID db_;
  const DWORD flags_;
  platform::Mutex mu_;
  int64_t watch_ GUARDED_BY(mu_) = 0;
  int64_t position_ GUARDED_BY(mu_) = 0;
  // Read-ahead: records with identifier >= batch_from_, in order; when
  // batch_complete_ they are all the records from there to the end.
  uint32_t batch_signal_ GUARDED_BY(mu_) = 0;
  bool batch_valid_ GUARDED_BY(mu_) = false;
  bool batch_complete_ GUARDED_BY(mu_) = false;
  int64_t batch_from_ GUARDED_BY(mu_) = 0;
  std::vector<Record> batch_ GUARDED_BY(mu_);
};

class EnumerationHandle : public platform::HandleObject {
 public:
  explicit EnumerationHandle(DWORD type) : type_(type) {}
  const DWORD type_;
  platform::Mutex mu_;
  CEOID last_ GUARDED_BY(mu_) = 0;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// --- store helpers (inside a transaction) ---

struct DatabaseRow {
  CEOID oid = 0;
  std::string name;
  DWORD type = 0;
  int64_t num_records = 0;
  int64_t size = 0;
  int64_t modified = 0;
};

// ERROR_SUCCESS and the row, ERROR_FILE_NOT_FOUND, or a store error.
DWORD LoadDatabase(Connection* conn, CEOID oid, DatabaseRow* row) {
  static const char kSql[] =
      "SELECT oid, name, type, num_records, size, modified FROM databases WHERE oid = ?";
  Query q(conn, kSql);
  q.Bind(1, oid);
  if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_FILE_NOT_FOUND;
  row->oid = static_cast<CEOID>(q.Int(0));
  row->name = q.Text(1);
  row->type = static_cast<DWORD>(q.Int(2));
  row->num_records = q.Int(3);
  row->size = q.Int(4);
  row->modified = q.Int(5);
  return ERROR_SUCCESS;
}

DWORD FindDatabaseByName(Connection* conn, const std::string& name, CEOID* oid) {
  static const char kSql[] = "SELECT oid FROM databases WHERE name = ?";
  Query q(conn, kSql);
  q.Bind(1, name);
  if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_FILE_NOT_FOUND;
  *oid = static_cast<CEOID>(q.Int(0));
  return ERROR_SUCCESS;
}

// The next identifier: past every identifier the store holds and past
// meta.next_oid, which a delete raises past what it takes away (see
// KeepIdentifierTaken), so that none comes back. Appends do not write it:
// the greatest identifier handed out is the greatest one present, or one
// that a delete has recorded in meta.
const char kNextOid[] =
    "SELECT max((SELECT value FROM meta WHERE key = 'next_oid'),"
    " (SELECT coalesce(max(oid), 0) + 1 FROM records),"
    " (SELECT coalesce(max(oid), 0) + 1 FROM databases), 1)";

DWORD NextOid(Connection* conn, int64_t* next) {
  Query q(conn, kNextOid);
  if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_INTERNAL_ERROR;
  *next = q.Int(0);
  return ERROR_SUCCESS;
}

// A new identifier: never 0, never 0xFFFFFFFF, never reused. Inside a
// write transaction, which the caller abandons on failure; the caller
// inserts the row that holds it before the cache's next KeepCache. While no
// other connection writes, identifiers come from the write cache without a
// read.
DWORD AllocateOid(Connection* conn, CEOID* oid) {
  platform::store::WriteCache* cache = conn->Cache();
  if (!cache->next_oid_known) {
    DWORD error = NextOid(conn, &cache->next_oid);
    if (error != ERROR_SUCCESS) return error;
    cache->next_oid_known = true;
  }
  if (cache->next_oid >= 0xFFFFFFFFLL) return ERROR_DATABASE_FULL;
  *oid = static_cast<CEOID>(cache->next_oid++);
  return ERROR_SUCCESS;
}

// Inserts a new record of `db` holding `encoded` under a new identifier
// (*oid). Inside a write transaction; the caller keeps the totals. The
// write cache stays in use: the row changes no cached fact but the next
// identifier, which AllocateOid moved on.
DWORD InsertRecord(Connection* conn, CEOID db, const std::string& encoded, CEOID* oid) {
  DWORD error = AllocateOid(conn, oid);
  if (error != ERROR_SUCCESS) return error;
  static const char kInsert[] = "INSERT INTO records(oid, db, props) VALUES(?, ?, ?)";
  error = Query(conn, kInsert).Bind(1, *oid).Bind(2, db).BindBlob(3, encoded.data(), encoded.size()).Run();
  if (error == ERROR_SUCCESS) conn->KeepCache();
  return error;
}

// Before the row holding `oid` is deleted: meta.next_oid passes it, so that
// the next identifier does not fall back to it when it was the greatest.
// Writes nothing when meta is past it already (an older record).
DWORD KeepIdentifierTaken(Connection* conn, CEOID oid) {
  static const char kSql[] =
      "UPDATE meta SET value = ?1 + 1 WHERE key = 'next_oid' AND value <= ?1";
  return Query(conn, kSql).Bind(1, oid).Run();
}

// After a write that grew the store by `delta` bytes, inside its write
// transaction: ERROR_DISK_FULL when the store now passes the device's
// store-capacity (the caller then abandons the transaction, which undoes
// the growth). The use is counted from the databases' totals, so a write
// keeps no counter of its own; a write that does not grow the store, or a
// device without a capacity, reads nothing more.
DWORD CheckCapacity(Connection* conn, int64_t delta) {
  if (delta <= 0) return ERROR_SUCCESS;
  static const char kCapacity[] = "SELECT value FROM settings WHERE key = 'store-capacity'";
  platform::store::WriteCache* cache = conn->Cache();
  if (!cache->capacity_known) {
    Query q(conn, kCapacity);
    if (q.Step()) {
      cache->capacity = q.IsNull(0) ? 0 : std::strtoll(q.Text(0).c_str(), nullptr, 10);
    } else if (q.error() != ERROR_SUCCESS) {
      return q.error();
    } else {
      cache->capacity = 0;
    }
    cache->capacity_known = true;
  }
  const int64_t capacity = cache->capacity;
  if (capacity <= 0) return ERROR_SUCCESS;
  int64_t used = 0;
  DWORD error = platform::store::StoreUsedBytes(conn, &used);
  if (error != ERROR_SUCCESS) return error;
  return used > capacity ? ERROR_DISK_FULL : ERROR_SUCCESS;
}

// ERROR_INVALID_HANDLE when the database is gone (deleted under a handle).
DWORD UpdateDatabaseTotals(Connection* conn, CEOID db, int64_t record_delta, int64_t size_delta) {
  static const char kSql[] =
      "UPDATE databases SET num_records = num_records + ?, size = size + ?, modified = ? "
      "WHERE oid = ?";
  Query q(conn, kSql);
  q.Bind(1, record_delta).Bind(2, size_delta).Bind(3, platform::store::NowUnixMs()).Bind(4, db);
  DWORD error = q.Run();
  if (error == ERROR_SUCCESS && sqlite3_changes(conn->db()) == 0) return ERROR_INVALID_HANDLE;
  return error;
}

DWORD CheckDatabaseExists(Connection* conn, CEOID db) {
  static const char kSql[] = "SELECT 1 FROM databases WHERE oid = ?";
  Query q(conn, kSql);
  q.Bind(1, db);
  if (q.Step()) return ERROR_SUCCESS;
  return q.error() != ERROR_SUCCESS ? q.error() : ERROR_INVALID_HANDLE;
}

bool ValidName(LPCWSTR name, std::string* utf8) {
  if (name == nullptr) return false;
  size_t n = std::char_traits<char16_t>::length(name);
  if (n == 0 || n > static_cast<size_t>(kMaxNameChars)) return false;
  return platform::store::ToUtf8(std::u16string_view(name, n), utf8);
}

// Fills the handle's read-ahead from its position. Inside a read transaction.
DWORD FillBatch(Connection* conn, DatabaseHandle* h, uint32_t signal) REQUIRES(h->mu_) {
  static const char kSql[] =
      "SELECT oid, props FROM records WHERE db = ? AND oid >= ? ORDER BY oid LIMIT ?";
  h->batch_.clear();
  h->batch_valid_ = false;
  Query q(conn, kSql);
  q.Bind(1, h->db_).Bind(2, h->position_).Bind(3, static_cast<int64_t>(kReadAheadRecords));
  while (q.Step()) {
    Record r;
    r.oid = static_cast<CEOID>(q.Int(0));
    r.props.assign(static_cast<const char*>(q.Blob(1)), q.Size(1));
    h->batch_.push_back(std::move(r));
  }
  if (q.error() != ERROR_SUCCESS) return q.error();
  h->batch_from_ = h->position_;
  h->batch_complete_ = h->batch_.size() < kReadAheadRecords;
  h->batch_signal_ = signal;
  h->batch_valid_ = true;
  return ERROR_SUCCESS;
}

// The record at the handle's position (null past the end), served from the
// read-ahead when it is still valid. Caller holds h->mu_.
DWORD CurrentRecord(DatabaseHandle* h, const Record** record) REQUIRES(h->mu_) {
  *record = nullptr;
  uint32_t signal = platform::store::DataStamp();
  if (h->batch_valid_ && h->batch_signal_ == signal && h->position_ >= h->batch_from_) {
    auto it = std::lower_bound(h->batch_.begin(), h->batch_.end(), h->position_,
                               [](const Record& r, int64_t pos) { return r.oid < pos; });
    if (it != h->batch_.end()) {
      *record = &*it;
      return ERROR_SUCCESS;
    }
    if (h->batch_complete_) return ERROR_SUCCESS;
  }
  Transaction txn(Transaction::kRead);
  if (txn.error() != ERROR_SUCCESS) return txn.error();
  DWORD error = CheckDatabaseExists(txn.conn(), h->db_);
  if (error == ERROR_SUCCESS) error = FillBatch(txn.conn(), h, signal);
  if (error != ERROR_SUCCESS) return error;
  if (!h->batch_.empty()) *record = &h->batch_.front();
  return ERROR_SUCCESS;
}

std::shared_ptr<DatabaseHandle> FindDatabaseHandle(HANDLE h) {
  return platform::FindHandle<DatabaseHandle>(h);
}

}  // namespace

CEOID CeCreateDatabase(LPCWSTR name, DWORD type, WORD num_sort_orders, SORTORDERSPEC*) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kCeCreateDatabase, &error)) {
    return Fail(error);
  }
  std::string utf8;
  if (!ValidName(name, &utf8)) return Fail(ERROR_INVALID_PARAMETER);
  if (num_sort_orders != 0) return Fail(ERROR_NOT_SUPPORTED);
  Transaction txn(Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) return Fail(txn.error());
  Connection* conn = txn.conn();
  CEOID existing = 0;
  error = FindDatabaseByName(conn, utf8, &existing);
  if (error == ERROR_SUCCESS) return Fail(ERROR_ALREADY_EXISTS);
  if (error != ERROR_FILE_NOT_FOUND) return Fail(error);
  CEOID oid = 0;
  error = AllocateOid(conn, &oid);
  if (error == ERROR_SUCCESS) {
    static const char kSql[] =
        "INSERT INTO databases(oid, name, type, modified) VALUES(?, ?, ?, ?)";
    Query q(conn, kSql);
    q.Bind(1, oid).Bind(2, utf8).Bind(3, type).Bind(4, platform::store::NowUnixMs());
    error = q.Run();
  }
  if (error == ERROR_SUCCESS) error = CheckCapacity(conn, platform::store::kDatabaseOverhead);
  if (error == ERROR_SUCCESS) error = txn.Commit();
  if (error != ERROR_SUCCESS) return Fail(error);
  return oid;
}

HANDLE CeOpenDatabase(PCEOID oid, LPCWSTR name, CEPROPID sort_prop, DWORD flags, HWND notify) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kCeOpenDatabase, &error)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  auto fail = [](DWORD e) {
    SetLastError(e);
    return INVALID_HANDLE_VALUE;
  };
  if (oid == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (sort_prop != 0) return fail(ERROR_NOT_SUPPORTED);
  CEOID db = *oid;
  {
    Transaction txn(Transaction::kRead);
    if (txn.error() != ERROR_SUCCESS) return fail(txn.error());
    if (db != 0) {
      DatabaseRow row;
      error = LoadDatabase(txn.conn(), db, &row);
    } else {
      std::string utf8;
      if (!ValidName(name, &utf8)) return fail(ERROR_INVALID_PARAMETER);
      error = FindDatabaseByName(txn.conn(), utf8, &db);
    }
    if (error != ERROR_SUCCESS) return fail(error);
  }
  auto handle = std::make_shared<DatabaseHandle>(db, flags);
  if (notify != 0) {
    error = platform::AddDbWatch(db, notify, &handle->watch_);
    if (error != ERROR_SUCCESS) return fail(error);
  }
  HANDLE h = platform::IssueHandle(handle);
  if (h == 0) {
    handle->Close();
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  *oid = db;
  return h;
}

BOOL CeDeleteDatabase(CEOID oid) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kCeDeleteDatabase, &error)) {
    return Fail(error);
  }
  Transaction txn(Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) return Fail(txn.error());
  Connection* conn = txn.conn();
  DatabaseRow row;
  error = LoadDatabase(conn, oid, &row);
  if (error != ERROR_SUCCESS) return Fail(error);
  static const char kRecords[] = "DELETE FROM records WHERE db = ?";
  static const char kDatabase[] = "DELETE FROM databases WHERE oid = ?";
  static const char kJournaled[] = "DELETE FROM journal_dbs WHERE db = ?";
  // The identifiers going may include the greatest one handed out.
  static const char kKeepNext[] = "UPDATE meta SET value = ? WHERE key = 'next_oid'";
  int64_t next = 0;
  error = NextOid(conn, &next);
  if (error == ERROR_SUCCESS) error = Query(conn, kKeepNext).Bind(1, next).Run();
  if (error == ERROR_SUCCESS) error = Query(conn, kRecords).Bind(1, oid).Run();
  if (error == ERROR_SUCCESS) error = Query(conn, kDatabase).Bind(1, oid).Run();
  if (error == ERROR_SUCCESS) error = platform::ForgetDbNotifications(conn, oid);
  if (error == ERROR_SUCCESS) error = Query(conn, kJournaled).Bind(1, oid).Run();
  if (error == ERROR_SUCCESS) error = txn.Commit();
  if (error != ERROR_SUCCESS) return Fail(error);
  return TRUE;
}

HANDLE CeFindFirstDatabase(DWORD type) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kCeFindFirstDatabase, &error)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (platform::store::ThreadConnection(&error) == nullptr) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = platform::IssueHandle(std::make_shared<EnumerationHandle>(type));
  if (h == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

CEOID CeFindNextDatabase(HANDLE enumeration) {
  auto e = platform::FindHandle<EnumerationHandle>(enumeration);
  if (e == nullptr) return Fail(ERROR_INVALID_HANDLE);
  platform::MutexLock lock(&e->mu_);
  Transaction txn(Transaction::kRead);
  if (txn.error() != ERROR_SUCCESS) return Fail(txn.error());
  static const char kSql[] =
      "SELECT oid FROM databases WHERE oid > ? AND (? = 0 OR type = ?) ORDER BY oid LIMIT 1";
  Query q(txn.conn(), kSql);
  q.Bind(1, e->last_).Bind(2, e->type_).Bind(3, e->type_);
  if (!q.Step()) return Fail(q.error() != ERROR_SUCCESS ? q.error() : ERROR_NO_MORE_ITEMS);
  e->last_ = static_cast<CEOID>(q.Int(0));
  return e->last_;
}

BOOL CeOidGetInfo(CEOID oid, CEOIDINFO* info) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kCeOidGetInfo, &error)) {
    return Fail(error);
  }
  if (info == nullptr || oid == 0) return Fail(ERROR_INVALID_PARAMETER);
  Transaction txn(Transaction::kRead);
  if (txn.error() != ERROR_SUCCESS) return Fail(txn.error());
  DatabaseRow row;
  error = LoadDatabase(txn.conn(), oid, &row);
  if (error == ERROR_SUCCESS) {
    std::memset(info, 0, sizeof *info);
    info->wObjType = OBJTYPE_DATABASE;
    CEDBASEINFO& d = info->infDatabase;
    std::u16string name = platform::store::FromUtf8(row.name);
    std::copy_n(name.begin(), std::min<size_t>(name.size(), kMaxNameChars), d.szDbaseName);
    d.dwDbaseType = row.type;
    // The count is 16-bit on the device: it saturates rather than wraps, so
    // a full database never looks nearly empty.
    d.wNumRecords = static_cast<WORD>(std::min<int64_t>(row.num_records, 0xFFFF));
    d.dwSize = static_cast<DWORD>(std::min<int64_t>(row.size, 0xFFFFFFFFLL));
    d.ftLastModified = FileTimeFromUnixMs(row.modified);
    return TRUE;
  }
  if (error != ERROR_FILE_NOT_FOUND) return Fail(error);
  static const char kRecord[] = "SELECT db FROM records WHERE oid = ?";
  Query q(txn.conn(), kRecord);
  q.Bind(1, oid);
  if (!q.Step()) return Fail(q.error() != ERROR_SUCCESS ? q.error() : ERROR_INVALID_PARAMETER);
  std::memset(info, 0, sizeof *info);
  info->wObjType = OBJTYPE_RECORD;
  info->infRecord.oidParent = static_cast<CEOID>(q.Int(0));
  return TRUE;
}

CEOID CeSeekDatabase(HANDLE db, DWORD seek_type, DWORD value, LPDWORD index) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kCeSeekDatabase, &error)) {
    return Fail(error);
  }
  auto h = FindDatabaseHandle(db);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
  switch (seek_type) {
    case CEDB_SEEK_CEOID:
    case CEDB_SEEK_BEGINNING:
    case CEDB_SEEK_END:
    case CEDB_SEEK_CURRENT:
      break;
    case CEDB_SEEK_VALUESMALLER:
    case CEDB_SEEK_VALUEFIRSTEQUAL:
    case CEDB_SEEK_VALUEGREATER:
    case CEDB_SEEK_VALUENEXTEQUAL:
      return Fail(ERROR_NOT_SUPPORTED);  // they need a sort order
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  platform::MutexLock lock(&h->mu_);
  Transaction txn(Transaction::kRead);
  if (txn.error() != ERROR_SUCCESS) return Fail(txn.error());
  Connection* conn = txn.conn();
  DatabaseRow row;
  error = LoadDatabase(conn, h->db_, &row);
  if (error != ERROR_SUCCESS) return Fail(error == ERROR_FILE_NOT_FOUND ? ERROR_INVALID_HANDLE : error);
  CEOID target = 0;
  int64_t target_index = 0;
  if (seek_type == CEDB_SEEK_CEOID) {
    static const char kSql[] = "SELECT 1 FROM records WHERE oid = ? AND db = ?";
    Query q(conn, kSql);
    q.Bind(1, value).Bind(2, h->db_);
    if (!q.Step()) return Fail(q.error() != ERROR_SUCCESS ? q.error() : ERROR_NO_MORE_ITEMS);
    target = value;
    // Counting may step over many records: only when asked.
    if (index != nullptr) {
      error = CountRecordsBefore(conn, h->db_, row.num_records, value, &target_index);
    }
  } else if (seek_type == CEDB_SEEK_END) {
    // From the end, so that finding the last record does not step over all
    // the others.
    target_index = row.num_records - 1 - static_cast<int64_t>(value);
    if (target_index < 0) return Fail(ERROR_NO_MORE_ITEMS);
    static const char kSql[] = "SELECT oid FROM records WHERE db = ? ORDER BY oid DESC LIMIT 1 OFFSET ?";
    Query q(conn, kSql);
    q.Bind(1, h->db_).Bind(2, static_cast<int64_t>(value));
    target = q.Step() ? static_cast<CEOID>(q.Int(0)) : 0;
    error = q.error();
    if (error == ERROR_SUCCESS && target == 0) error = ERROR_NO_MORE_ITEMS;
  } else {
    if (seek_type == CEDB_SEEK_BEGINNING) {
      target_index = value;
    } else {
      int64_t current = row.num_records;
      if (h->position_ != kAtEnd) {
        error = CountRecordsBefore(conn, h->db_, row.num_records, h->position_, &current);
      }
      target_index = current + static_cast<int32_t>(value);
    }
    if (error == ERROR_SUCCESS && (target_index < 0 || target_index >= row.num_records)) {
      return Fail(ERROR_NO_MORE_ITEMS);
    }
    if (error == ERROR_SUCCESS) {
      error = RecordAtIndex(conn, h->db_, row.num_records, target_index, &target);
    }
    if (error == ERROR_SUCCESS && target == 0) error = ERROR_NO_MORE_ITEMS;
  }
  if (error != ERROR_SUCCESS) return Fail(error);
  h->position_ = target;
  if (index != nullptr) *index = static_cast<DWORD>(target_index);
  return target;
}

CEOID CeReadRecordProps(HANDLE db, DWORD flags, LPWORD num_props, CEPROPID* prop_ids,
                        LPBYTE* buffer, LPDWORD buffer_size) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kCeReadRecordProps, &error)) {
    return Fail(error);
  }
  auto h = FindDatabaseHandle(db);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (buffer == nullptr || (prop_ids != nullptr && num_props == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  platform::MutexLock lock(&h->mu_);
  const Record* record = nullptr;
  error = CurrentRecord(h.get(), &record);
  if (error != ERROR_SUCCESS) return Fail(error);
  if (record == nullptr) return Fail(ERROR_NO_MORE_ITEMS);
  StoredProperties props;
  if (!DecodeRecord(record->props, &props)) return Fail(ERROR_INTERNAL_ERROR);
  WORD wanted = prop_ids != nullptr ? *num_props : 0;
  ReadLayout layout = PlanReadLayout(props, wanted, prop_ids);
  if (layout.size > 0xFFFFFFFFu) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  DWORD have = buffer_size != nullptr ? *buffer_size : 0;
  if (flags & CEDB_ALLOWREALLOC) {
    // The caller's block came from LocalAlloc: its real size may exceed the
    // size the caller remembered (a reused buffer with *buffer_size 0).
    if (*buffer != nullptr) have = static_cast<DWORD>(LocalSize(*buffer));
    if (*buffer == nullptr || have < layout.size) {
      HLOCAL grown = *buffer == nullptr ? LocalAlloc(LMEM_FIXED, std::max<size_t>(layout.size, 1))
                                        : LocalReAlloc(*buffer, layout.size, LMEM_MOVEABLE);
      if (grown == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
      *buffer = static_cast<LPBYTE>(grown);
    }
  } else if (*buffer == nullptr || have < layout.size) {
    if (buffer_size != nullptr) *buffer_size = static_cast<DWORD>(layout.size);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  WriteReadLayout(layout, *buffer);
  if (num_props != nullptr) *num_props = static_cast<WORD>(layout.entries.size());
  if (buffer_size != nullptr) *buffer_size = static_cast<DWORD>(layout.size);
  CEOID oid = record->oid;
  if (h->flags_ & CEDB_AUTOINCREMENT) h->position_ = static_cast<int64_t>(oid) + 1;
  return oid;
}

DWORD CeReadFirstProps(HANDLE db, DWORD cMax, CEFIRSTPROP* records) {
  auto fail = [](DWORD error) {
    SetLastError(error);
    return DWORD{0};
  };
  auto h = FindDatabaseHandle(db);
  if (h == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (records == nullptr && cMax != 0) return fail(ERROR_INVALID_PARAMETER);
  if ((h->flags_ & CEDB_AUTOINCREMENT) == 0) return fail(ERROR_NOT_SUPPORTED);
  platform::MutexLock lock(&h->mu_);
  Transaction txn(Transaction::kRead);
  if (txn.error() != ERROR_SUCCESS) return fail(txn.error());
  DWORD error = CheckDatabaseExists(txn.conn(), h->db_);
  if (error != ERROR_SUCCESS) return fail(error);
  static const char kSql[] =
      "SELECT oid, props FROM records WHERE db = ? AND oid >= ? ORDER BY oid LIMIT ?";
  Query q(txn.conn(), kSql);
  q.Bind(1, h->db_).Bind(2, h->position_).Bind(3, static_cast<int64_t>(cMax));
  DWORD n = 0;
  while (n < cMax && q.Step()) {
    // Each record counts as one read for the failure seam, as the reads it
    // stands for would.
    if (platform::fault::ShouldFail(platform::fault::Call::kCeReadRecordProps, &error)) {
      SetLastError(error);
      return n;
    }
    const char* bytes = static_cast<const char*>(q.Blob(1));
    std::string_view row(bytes != nullptr ? bytes : "", q.Size(1));
    size_t count = 0;
    CEPROPID id = 0;
    std::string_view value;
    if (!platform::record_codec::PeekFirstProperty(row, &count, &id, &value)) {
      SetLastError(ERROR_INTERNAL_ERROR);
      return n;
    }
    CEFIRSTPROP& out = records[n];
    out.oid = static_cast<CEOID>(q.Int(0));
    out.wNumProps = static_cast<WORD>(std::min<size_t>(count, 0xFFFF));
    out.propid = count != 0 ? id : 0;
    out.cbBlob = count != 0 && TypeFromPropId(id) == CEVT_BLOB ? static_cast<DWORD>(value.size()) : 0;
    std::memset(out.abBlob, 0, sizeof out.abBlob);
    if (out.cbBlob != 0) {
      std::memcpy(out.abBlob, value.data(), std::min<size_t>(out.cbBlob, sizeof out.abBlob));
    }
    h->position_ = static_cast<int64_t>(out.oid) + 1;
    ++n;
  }
  if (q.error() != ERROR_SUCCESS) {
    SetLastError(q.error());
    return n;
  }
  if (n < cMax) SetLastError(ERROR_NO_MORE_ITEMS);
  return n;
}

CEOID CeWriteRecordProps(HANDLE db, CEOID record, WORD num_props, CEPROPVAL* props) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kCeWriteRecordProps, &error)) {
    return Fail(error);
  }
  auto h = FindDatabaseHandle(db);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (num_props != 0 && props == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  Transaction txn(Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) return Fail(txn.error());
  Connection* conn = txn.conn();
  // Before this call's first write (see KeepCache below).
  conn->Cache();
  StoredProperties values;
  int64_t old_size = 0;
  if (record != 0) {
    static const char kLoad[] = "SELECT props FROM records WHERE oid = ? AND db = ?";
    Query q(conn, kLoad);
    q.Bind(1, record).Bind(2, h->db_);
    if (!q.Step()) {
      if (q.error() != ERROR_SUCCESS) return Fail(q.error());
      // No such record here: a deleted database is reported as such.
      error = CheckDatabaseExists(conn, h->db_);
      return Fail(error != ERROR_SUCCESS ? error : ERROR_INVALID_PARAMETER);
    }
    std::string stored(static_cast<const char*>(q.Blob(0)), q.Size(0));
    if (!DecodeRecord(stored, &values)) return Fail(ERROR_INTERNAL_ERROR);
    old_size = static_cast<int64_t>(stored.size()) + kRecordOverhead;
  }
  if (!ApplyWrite(num_props, props, &values)) return Fail(ERROR_INVALID_PARAMETER);
  std::string encoded = EncodeRecord(values);
  int64_t new_size = static_cast<int64_t>(encoded.size()) + kRecordOverhead;
  CEOID oid = record;
  if (record == 0) {
    error = InsertRecord(conn, h->db_, encoded, &oid);
  } else {
    static const char kUpdate[] = "UPDATE records SET props = ? WHERE oid = ? AND db = ?";
    Query q(conn, kUpdate);
    q.BindBlob(1, encoded.data(), encoded.size()).Bind(2, oid).Bind(3, h->db_);
    error = q.Run();
  }
  if (error == ERROR_SUCCESS) {
    error = UpdateDatabaseTotals(conn, h->db_, record == 0 ? 1 : 0, new_size - old_size);
  }
  // Neither the record nor the totals change a cached fact (see InsertRecord).
  if (error == ERROR_SUCCESS) conn->KeepCache();
  if (error == ERROR_SUCCESS) error = CheckCapacity(conn, new_size - old_size);
  if (error == ERROR_SUCCESS) {
    error = platform::RecordDbNotification(conn, h->db_, oid,
                                           record == 0 ? DB_CEOID_CREATED : DB_CEOID_CHANGED);
  }
  if (error == ERROR_SUCCESS) error = txn.Commit();
  if (error != ERROR_SUCCESS) return Fail(error);
  return oid;
}

BOOL CeAppendRecords(HANDLE db, DWORD cRecords, const CEAPPENDRECORD* records, CEOID* oids) {
  auto h = FindDatabaseHandle(db);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (cRecords != 0 && (records == nullptr || oids == nullptr)) return Fail(ERROR_INVALID_PARAMETER);
  DWORD error = ERROR_SUCCESS;
  // Each record counts as one write for the failure seam, as the calls it
  // stands for would.
  for (DWORD i = 0; i < cRecords; ++i) {
    if (platform::fault::ShouldFail(platform::fault::Call::kCeWriteRecordProps, &error)) {
      return Fail(error);
    }
  }
  std::vector<std::string> encoded(cRecords);
  int64_t grown = 0;
  for (DWORD i = 0; i < cRecords; ++i) {
    StoredProperties values;
    const CEAPPENDRECORD& r = records[i];
    if ((r.wNumProps != 0 && r.rgPropVal == nullptr) || !ApplyWrite(r.wNumProps, r.rgPropVal, &values)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    encoded[i] = EncodeRecord(values);
    grown += static_cast<int64_t>(encoded[i].size()) + kRecordOverhead;
  }
  if (cRecords == 0) {
    Transaction txn(Transaction::kRead);
    if (txn.error() != ERROR_SUCCESS) return Fail(txn.error());
    error = CheckDatabaseExists(txn.conn(), h->db_);
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
  }
  Transaction txn(Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) return Fail(txn.error());
  Connection* conn = txn.conn();
  conn->Cache();  // before this call's first write (see KeepCache below)
  std::vector<CEOID> added(cRecords);
  for (DWORD i = 0; i < cRecords && error == ERROR_SUCCESS; ++i) {
    error = InsertRecord(conn, h->db_, encoded[i], &added[i]);
  }
  if (error == ERROR_SUCCESS) error = UpdateDatabaseTotals(conn, h->db_, cRecords, grown);
  if (error == ERROR_SUCCESS) conn->KeepCache();  // as in CeWriteRecordProps
  if (error == ERROR_SUCCESS) error = CheckCapacity(conn, grown);
  for (DWORD i = 0; i < cRecords && error == ERROR_SUCCESS; ++i) {
    error = platform::RecordDbNotification(conn, h->db_, added[i], DB_CEOID_CREATED);
  }
  if (error == ERROR_SUCCESS) error = txn.Commit();
  if (error != ERROR_SUCCESS) return Fail(error);
  std::copy(added.begin(), added.end(), oids);
  return TRUE;
}

BOOL CeDeleteRecord(HANDLE db, CEOID record) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kCeDeleteRecord, &error)) {
    return Fail(error);
  }
  auto h = FindDatabaseHandle(db);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
  Transaction txn(Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) return Fail(txn.error());
  Connection* conn = txn.conn();
  conn->Cache();  // before this call's first write (see KeepCache below)
  error = CheckDatabaseExists(conn, h->db_);
  if (error != ERROR_SUCCESS) return Fail(error);
  static const char kSize[] = "SELECT length(props) FROM records WHERE oid = ? AND db = ?";
  Query size(conn, kSize);
  size.Bind(1, record).Bind(2, h->db_);
  if (!size.Step()) {
    return Fail(size.error() != ERROR_SUCCESS ? size.error() : ERROR_INVALID_PARAMETER);
  }
  int64_t bytes = size.Int(0) + kRecordOverhead;
  static const char kDelete[] = "DELETE FROM records WHERE oid = ?";
  error = KeepIdentifierTaken(conn, record);
  if (error == ERROR_SUCCESS) error = Query(conn, kDelete).Bind(1, record).Run();
  if (error == ERROR_SUCCESS) error = UpdateDatabaseTotals(conn, h->db_, -1, -bytes);
  // No cached fact changes: the next identifier stays past the one deleted.
  if (error == ERROR_SUCCESS) conn->KeepCache();
  if (error == ERROR_SUCCESS) {
    error = platform::RecordDbNotification(conn, h->db_, record, DB_CEOID_RECORD_DELETED);
  }
  if (error == ERROR_SUCCESS) error = txn.Commit();
  if (error != ERROR_SUCCESS) return Fail(error);
  return TRUE;
}

namespace {

// The transaction of CeBeginTransaction, per thread.
thread_local std::unique_ptr<Transaction> explicit_transaction;

}  // namespace

BOOL CeBeginTransaction() {
  if (explicit_transaction != nullptr || platform::store::InTransaction()) {
    return Fail(ERROR_ALREADY_EXISTS);
  }
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kCeBeginTransaction, &error)) {
    return Fail(error);
  }
  auto txn = std::make_unique<Transaction>(Transaction::kWrite);
  if (txn->error() != ERROR_SUCCESS) return Fail(txn->error());
  explicit_transaction = std::move(txn);
  return TRUE;
}

BOOL CeEndTransaction(BOOL fCommit) {
  std::unique_ptr<Transaction> txn = std::move(explicit_transaction);
  if (txn == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!fCommit) return Fail(ERROR_SUCCESS);
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kCeEndTransaction, &error)) {
    return Fail(error);  // the destructor rolls back
  }
  error = txn->Commit();
  if (error != ERROR_SUCCESS) return Fail(error);
  return TRUE;
}

BOOL CeFlushDBVol() {
  const DWORD error = platform::store::SyncToDisk();
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

DWORD CeSetStoreWait(DWORD dwMilliseconds) { return platform::store::SetStoreWait(dwMilliseconds); }
