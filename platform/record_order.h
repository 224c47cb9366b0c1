// The records of a database by index (internal to the object store): how
// many records of a database come before an identifier, and which record is
// at an index. Both are answered inside the caller's transaction.
//
// SQLite answers either by stepping through its index over every record
// before the point asked about, which makes a seek by identifier into a
// large database slow. A database asked about twice without changing gets
// a sparse order index in this process: every kStride-th identifier of the
// database, in order, so that later answers step over at most kStride
// records. Building it steps over the database once; a database that
// changes between every two questions never gets one, so it costs a
// writer no more than the plain count did.
//
// An order index stays valid while the database keeps both its record count
// and its greatest identifier: identifiers are never reused and a new record
// always gets one above every existing identifier, so any insertion that
// survives raises the greatest identifier, and with no surviving insertion
// the only change left, a deletion, lowers the count.
//
// Threads: any thread, inside a transaction on its own connection. The
// order indexes are shared by the process's threads under a mutex and are
// dropped when the device is closed.
#ifndef HOLLOWMARCH_PLATFORM_RECORD_ORDER_H_
#define HOLLOWMARCH_PLATFORM_RECORD_ORDER_H_

#include <cstdint>

#include "platform/store_db.h"
#include "platform/types.h"

namespace platform::store {

// The records of `db` with an identifier below `oid`, into *count.
// `num_records` is the database's record count as read in this transaction.
DWORD CountRecordsBefore(Connection* conn, CEOID db, int64_t num_records, int64_t oid,
                         int64_t* count);

// The identifier of the record at `index` (from 0) of `db`, or 0 when there
// is none.
DWORD RecordAtIndex(Connection* conn, CEOID db, int64_t num_records, int64_t index, CEOID* oid);

// Forgets every order index (the device was closed or another opened).
void ForgetRecordOrder();

// The spacing of an order index, exposed for tests.
constexpr int64_t kRecordOrderStride = 256;

}  // namespace platform::store

#endif  // HOLLOWMARCH_PLATFORM_RECORD_ORDER_H_
