#include "platform/record_order.h"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/mutex.h"

namespace platform::store {
namespace {

struct OrderIndex {
  // What the database looked like when this entry was made; the entry is
  // worth nothing once either differs.
  int64_t num_records = 0;
  CEOID max_oid = 0;
  // Empty until the database was asked about a second time unchanged.
  // marks[k] is the identifier of the record at index k * kRecordOrderStride.
  std::vector<CEOID> marks;
};

// Beyond this many databases the process starts over rather than keep
// entries of databases that were deleted or are no longer read.
constexpr size_t kMaxIndexes = 256;

struct Indexes {
  Mutex mu;
  std::unordered_map<CEOID, std::shared_ptr<const OrderIndex>> by_db GUARDED_BY(mu);
};

Indexes& TheIndexes() {
  static Indexes* indexes = new Indexes;
  return *indexes;
}

DWORD GreatestOid(Connection* conn, CEOID db, CEOID* oid) {
  static const char kSql[] = "SELECT max(oid) FROM records WHERE db = ?";
  Query q(conn, kSql);
  q.Bind(1, db);
  *oid = q.Step() && !q.IsNull(0) ? static_cast<CEOID>(q.Int(0)) : 0;
  return q.error();
}

// Every kRecordOrderStride-th identifier of `db`; *complete false when the
// walk does not find `num_records` records (it then cannot serve as an index).
DWORD BuildMarks(Connection* conn, CEOID db, int64_t num_records, std::vector<CEOID>* marks,
                 bool* complete) {
  static const char kSql[] = "SELECT oid FROM records WHERE db = ? ORDER BY oid";
  Query q(conn, kSql);
  q.Bind(1, db);
  marks->reserve(static_cast<size_t>(num_records / kRecordOrderStride + 1));
  int64_t seen = 0;
  while (q.Step()) {
    if (seen % kRecordOrderStride == 0) marks->push_back(static_cast<CEOID>(q.Int(0)));
    ++seen;
  }
  *complete = seen == num_records;
  return q.error();
}

// The order index of `db` when it has one that fits the database as this
// transaction sees it (null otherwise, which is no error: the caller asks
// SQLite directly). Builds one when the database is asked about unchanged
// for the second time.
DWORD FindOrderIndex(Connection* conn, CEOID db, int64_t num_records,
                     std::shared_ptr<const OrderIndex>* found) {
  found->reset();
  // A small database is counted as fast as an index could be searched.
  if (num_records <= kRecordOrderStride) return ERROR_SUCCESS;
  CEOID max_oid = 0;
  DWORD error = GreatestOid(conn, db, &max_oid);
  if (error != ERROR_SUCCESS) return error;
  Indexes& indexes = TheIndexes();
  {
    MutexLock lock(&indexes.mu);
    auto it = indexes.by_db.find(db);
    bool same = it != indexes.by_db.end() && it->second->num_records == num_records &&
                it->second->max_oid == max_oid;
    if (same && !it->second->marks.empty()) {
      *found = it->second;
      return ERROR_SUCCESS;
    }
    if (!same) {
      // First question at this state: remember it, answer directly.
      if (indexes.by_db.size() >= kMaxIndexes) indexes.by_db.clear();
      auto seen = std::make_shared<OrderIndex>();
      seen->num_records = num_records;
      seen->max_oid = max_oid;
      indexes.by_db[db] = std::move(seen);
      return ERROR_SUCCESS;
    }
  }
  auto built = std::make_shared<OrderIndex>();
  built->num_records = num_records;
  built->max_oid = max_oid;
  bool complete = false;
  error = BuildMarks(conn, db, num_records, &built->marks, &complete);
  if (error != ERROR_SUCCESS || !complete) return error;
  MutexLock lock(&indexes.mu);
  indexes.by_db[db] = built;
  *found = std::move(built);
  return ERROR_SUCCESS;
}

}  // namespace

DWORD CountRecordsBefore(Connection* conn, CEOID db, int64_t num_records, int64_t oid,
                         int64_t* count) {
  std::shared_ptr<const OrderIndex> index;
  DWORD error = FindOrderIndex(conn, db, num_records, &index);
  if (error != ERROR_SUCCESS) return error;
  if (index == nullptr) {
    static const char kSql[] = "SELECT count(*) FROM records WHERE db = ? AND oid < ?";
    Query q(conn, kSql);
    q.Bind(1, db).Bind(2, oid);
    if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_INTERNAL_ERROR;
    *count = q.Int(0);
    return ERROR_SUCCESS;
  }
  // The last mark below `oid`: every record before it is counted by its
  // place in the index, the rest (fewer than a stride) by SQLite.
  const std::vector<CEOID>& marks = index->marks;
  auto after = std::lower_bound(marks.begin(), marks.end(), oid,
                                [](CEOID mark, int64_t value) { return mark < value; });
  if (after == marks.begin()) {
    *count = 0;
    return ERROR_SUCCESS;
  }
  size_t k = static_cast<size_t>(after - marks.begin()) - 1;
  static const char kSql[] =
      "SELECT count(*) FROM records WHERE db = ? AND oid >= ? AND oid < ?";
  Query q(conn, kSql);
  q.Bind(1, db).Bind(2, marks[k]).Bind(3, oid);
  if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_INTERNAL_ERROR;
  *count = static_cast<int64_t>(k) * kRecordOrderStride + q.Int(0);
  return ERROR_SUCCESS;
}

DWORD RecordAtIndex(Connection* conn, CEOID db, int64_t num_records, int64_t index, CEOID* oid) {
  *oid = 0;
  if (index < 0 || index >= num_records) return ERROR_SUCCESS;
  std::shared_ptr<const OrderIndex> order;
  DWORD error = FindOrderIndex(conn, db, num_records, &order);
  if (error != ERROR_SUCCESS) return error;
  CEOID from = 0;
  int64_t offset = index;
  if (order != nullptr) {
    size_t k = static_cast<size_t>(index / kRecordOrderStride);
    from = order->marks[k];
    offset = index % kRecordOrderStride;
  }
  static const char kSql[] =
      "SELECT oid FROM records WHERE db = ? AND oid >= ? ORDER BY oid LIMIT 1 OFFSET ?";
  Query q(conn, kSql);
  q.Bind(1, db).Bind(2, from).Bind(3, offset);
  *oid = q.Step() ? static_cast<CEOID>(q.Int(0)) : 0;
  return q.error();
}

void ForgetRecordOrder() {
  Indexes& indexes = TheIndexes();
  MutexLock lock(&indexes.mu);
  indexes.by_db.clear();
}

}  // namespace platform::store
