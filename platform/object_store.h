// The handheld's object store: databases of records made of typed
// properties, shared by every process of one device.
//
// Identifiers (CEOID) are 32-bit, unique across the store (databases and
// records alike), never 0 and never reused. Database handles are process-local
// kernel handles (see kernel.h), each with its own current position.
//
// Every operation is atomic and durable once it returns against a process
// killed at any moment, which leaves the store consistent. Against a power
// cut, what was committed is durable from the next CeFlushDBVol on: a cut
// returns the whole store (records, registry, notification journals) to a
// moment no earlier than the last CeFlushDBVol, consistent as of then.
// Several processes may use one device at once: an operation waits for
// another's brief hold on the store instead of failing, and never sees half
// of another's write.
//
// Failures return the documented failure value and set the last error
// (kernel.h): ERROR_INVALID_HANDLE for a handle that is not an open database
// handle, ERROR_FILE_NOT_FOUND for a missing database, ERROR_ALREADY_EXISTS
// for a duplicate name, ERROR_DISK_FULL when a write would pass the store's
// capacity, ERROR_NO_MORE_ITEMS at the end of a database, ERROR_INVALID_PARAMETER
// for malformed arguments.
#ifndef HOLLOWMARCH_PLATFORM_OBJECT_STORE_H_
#define HOLLOWMARCH_PLATFORM_OBJECT_STORE_H_

#include "platform/property_value.h"  // CEPROPVAL, CEVT_*, CEDB_PROP*
#include "platform/types.h"

// CeOpenDatabase flags.
constexpr DWORD CEDB_AUTOINCREMENT = 0x00000001;

// CeSeekDatabase types.
constexpr DWORD CEDB_SEEK_CEOID = 0x00000001;
constexpr DWORD CEDB_SEEK_BEGINNING = 0x00000002;
constexpr DWORD CEDB_SEEK_END = 0x00000004;
constexpr DWORD CEDB_SEEK_CURRENT = 0x00000008;
constexpr DWORD CEDB_SEEK_VALUESMALLER = 0x00000010;
constexpr DWORD CEDB_SEEK_VALUEFIRSTEQUAL = 0x00000020;
constexpr DWORD CEDB_SEEK_VALUEGREATER = 0x00000040;
constexpr DWORD CEDB_SEEK_VALUENEXTEQUAL = 0x00000080;

// CeReadRecordProps flags.
constexpr DWORD CEDB_ALLOWREALLOC = 0x00000001;

// Notifications posted to the window given to CeOpenDatabase: wParam is the
// record's identifier, lParam the database's.
constexpr UINT WM_USER = 0x0400;
constexpr UINT DB_CEOID_CREATED = WM_USER + 1;
constexpr UINT DB_CEOID_DATABASE_DELETED = WM_USER + 2;
constexpr UINT DB_CEOID_RECORD_DELETED = WM_USER + 3;
constexpr UINT DB_CEOID_CHANGED = WM_USER + 6;

constexpr int CEDB_MAXDBASENAMELEN = 32;  // including the terminating NUL
constexpr int CEDB_MAXSORTORDER = 4;

struct SORTORDERSPEC {
  CEPROPID propid;
  DWORD dwFlags;
};

struct CEDBASEINFO {
  DWORD dwFlags;
  WCHAR szDbaseName[CEDB_MAXDBASENAMELEN];
  DWORD dwDbaseType;
  WORD wNumRecords;  // saturates at 0xFFFF past 65,535 records (never wraps)
  WORD wNumSortOrder;
  DWORD dwSize;      // bytes used by the database's records
  FILETIME ftLastModified;
  SORTORDERSPEC rgSortSpecs[CEDB_MAXSORTORDER];
};

constexpr WORD OBJTYPE_INVALID = 0;
constexpr WORD OBJTYPE_DATABASE = 3;
constexpr WORD OBJTYPE_RECORD = 4;

struct CERECORDINFO {
  CEOID oidParent;
};

struct CEOIDINFO {
  WORD wObjType;
  WORD wPad;
  union {
    CEDBASEINFO infDatabase;
    CERECORDINFO infRecord;
  };
};

// Creates a database; its identifier, or 0 (ERROR_ALREADY_EXISTS for a name
// in use, compared without regard to ASCII case; ERROR_INVALID_PARAMETER for
// an empty name, one of more than 31 characters or ill-formed UTF-16). A
// leading backslash is part of the name like any other character: "\Log"
// and "Log" are two databases. Sort orders are not supported:
// num_sort_orders must be 0 (else ERROR_NOT_SUPPORTED).
CEOID CeCreateDatabase(LPCWSTR name, DWORD type, WORD num_sort_orders,
                       SORTORDERSPEC* sort_orders);

// Opens a database by identifier (*oid non-zero; name ignored) or by name
// (*oid 0: the identifier is written back). sort_prop must be 0. With
// CEDB_AUTOINCREMENT each read moves the handle's position on. With a notify
// window, every record added, changed or deleted in the database by any
// process of the device after the open is posted to that window
// (DB_CEOID_*), in commit order, until the handle is closed. Flag bits other
// than CEDB_AUTOINCREMENT are ignored. INVALID_HANDLE_VALUE on failure:
// ERROR_FILE_NOT_FOUND when no database has that identifier or name,
// ERROR_NOT_SUPPORTED for a sort property.
HANDLE CeOpenDatabase(PCEOID oid, LPCWSTR name, CEPROPID sort_prop,
                      DWORD flags, HWND notify);

// Deletes a database and all its records. Open handles on it then fail.
BOOL CeDeleteDatabase(CEOID oid);

// Enumerates databases of one type (0 = every type), in creation order.
// CeFindNextDatabase gives 0 at the end (ERROR_NO_MORE_ITEMS).
HANDLE CeFindFirstDatabase(DWORD type);
CEOID CeFindNextDatabase(HANDLE enumeration);

// Describes a database (OBJTYPE_DATABASE) or a record (OBJTYPE_RECORD, with
// its database). FALSE with ERROR_INVALID_PARAMETER for an identifier that
// names neither.
BOOL CeOidGetInfo(CEOID oid, CEOIDINFO* info);

// Moves the handle's position. CEDB_SEEK_CEOID: to the record with that
// identifier. CEDB_SEEK_BEGINNING: to the record `value` records from the
// start. CEDB_SEEK_END: to the record `value` records back from the last
// (0 is the last). CEDB_SEEK_CURRENT: by the signed `value` records. Returns
// the record's identifier and stores its index (from 0) in *index when index
// is not null; 0 on failure, the position and *index then unchanged:
// ERROR_NO_MORE_ITEMS when no record of this database is there (including a
// CEDB_SEEK_CEOID of another database's record), ERROR_INVALID_PARAMETER for
// an unknown seek type. The value seeks need a sort order and fail with
// ERROR_NOT_SUPPORTED. From past the end, CEDB_SEEK_CURRENT counts from one
// past the last record.
CEOID CeSeekDatabase(HANDLE db, DWORD seek_type, DWORD value, LPDWORD index);

// Reads the record at the handle's position: all properties (prop_ids null)
// or the *num_props listed ones, in the order listed (missing ones come back
// with CEDB_PROPNOTFOUND). The position is the first record at or after the
// last one sought or read; with CEDB_AUTOINCREMENT a read moves it past the
// record read, so a record appended later is read next. With
// CEDB_ALLOWREALLOC the platform allocates *buffer with LocalAlloc when it is
// null, or grows it with LocalReAlloc when *buffer_size is too small; the
// caller frees it with LocalFree; a reused buffer is grown according to its
// real (LocalSize) size, whatever *buffer_size says. The buffer holds the
// CEPROPVAL array
// followed by the strings and blob bytes that its entries point into;
// *num_props receives the count and *buffer_size the bytes used. Returns the
// record's identifier; 0 past the end (ERROR_NO_MORE_ITEMS) or on failure.
// Without CEDB_ALLOWREALLOC a buffer too small fails with
// ERROR_INSUFFICIENT_BUFFER and *buffer_size receives the size needed.
CEOID CeReadRecordProps(HANDLE db, DWORD flags, LPWORD num_props,
                        CEPROPID* prop_ids, LPBYTE* buffer,
                        LPDWORD buffer_size);

// What CeReadFirstProps gives for one record: its identifier, how many
// properties it has, and its first property as a read of all properties
// would put first, but only for a blob, and only the blob's first bytes.
constexpr DWORD CEFIRSTPROP_MAXBYTES = 24;
struct CEFIRSTPROP {
  CEOID oid;
  WORD wNumProps;      // saturates at 0xFFFF
  CEPROPID propid;     // the first property's identifier; 0 without one
  DWORD cbBlob;        // its size when it is a CEVT_BLOB, else 0
  BYTE abBlob[CEFIRSTPROP_MAXBYTES];  // its first min(cbBlob, 24) bytes
};

// Reads up to `cMax` records from the handle's position on, as that many
// CeReadRecordProps calls with all properties would one after another, but
// gives of each only what CEFIRSTPROP holds, and costs one store read for
// them all: an extension of this platform, for a reader of many small
// records. The handle must have been opened with CEDB_AUTOINCREMENT; its
// position moves past the last record read. Returns how many were written
// to `records`; fewer than cMax when reading stopped, the last error then
// saying why: ERROR_NO_MORE_ITEMS at the end of the database, or the error
// at which a read of the next record would have failed (that record and
// the position are left as they were, for a read to try again).
// ERROR_NOT_SUPPORTED for a handle without CEDB_AUTOINCREMENT.
DWORD CeReadFirstProps(HANDLE db, DWORD cMax, CEFIRSTPROP* records);

// Writes properties. Record 0 appends a new record (its identifier is
// returned); otherwise the given properties of that record are replaced or
// added, and those flagged CEDB_PROPDELETE removed. 0 on failure; nothing is
// changed then: ERROR_INVALID_PARAMETER for a record not in this database, a
// property of an unknown type, a null string or a blob without bytes;
// ERROR_DISK_FULL past the store's capacity; ERROR_DATABASE_FULL when the
// identifiers are used up.
CEOID CeWriteRecordProps(HANDLE db, CEOID record, WORD num_props,
                         CEPROPVAL* props);

// One record for CeAppendRecords: its properties, as CeWriteRecordProps
// takes them.
struct CEAPPENDRECORD {
  WORD wNumProps;
  CEPROPVAL* rgPropVal;
};

// Appends `cRecords` new records, as that many CeWriteRecordProps(db, 0,
// ...) calls one after the other would, but all or none, in one store
// transaction whose bookkeeping (the database's totals, the capacity) is
// done once: an extension of this platform, for a writer of a group of
// records (a change log taking a group of captured changes). Writes their
// identifiers, in order, to oids[0..cRecords-1]. Each record counts as one
// CeWriteRecordProps for the failure seam. FALSE on failure, with nothing
// written and oids untouched: the errors of CeWriteRecordProps, and
// ERROR_INVALID_PARAMETER for null records or oids when cRecords is not 0.
BOOL CeAppendRecords(HANDLE db, DWORD cRecords, const CEAPPENDRECORD* records, CEOID* oids);

// ERROR_INVALID_PARAMETER for a record not in this database.
BOOL CeDeleteRecord(HANDLE db, CEOID record);

// Transactions, an extension of this platform: on its own every call above
// is atomic, but some work must become durable together or not at all (a
// change recorded and the notification that caused it marked handled).
// CeBeginTransaction opens a write transaction of the calling thread; every
// object-store, registry and notification-journal call the thread makes
// until CeEndTransaction belongs to it. A call that fails inside undoes only
// its own work, as it would alone; one that fails so badly that the store
// abandons the whole transaction (a full disk, say) makes every later call
// of the thread fail until CeEndTransaction, which then reports the loss.
// Other threads and processes see nothing of it before the commit, and
// their writes wait while it is open: keep it short, and never wait inside
// it for another thread's store call. FALSE with ERROR_ALREADY_EXISTS when
// the thread has a transaction open already, or the store's error.
BOOL CeBeginTransaction();
// Ends the calling thread's transaction: commits it when fCommit is TRUE,
// else rolls it back. TRUE only when it was committed; FALSE when it was
// rolled back, on request or because the commit failed (the store's error,
// such as ERROR_DISK_FULL), and FALSE with ERROR_INVALID_HANDLE when the
// thread had none open.
BOOL CeEndTransaction(BOOL fCommit);

// Flushes the object store to the disk: everything any process of the
// device committed before the call survives a power cut once it returns
// TRUE. One sync of the store's log, however much was committed since the
// last flush; the writes themselves stay as cheap as they are. Called where
// something already committed is shown to another party that will keep it
// (the desktop, before it commits what it was sent). FALSE with the store's
// error (what was committed stays, but may not survive a power cut), or
// ERROR_INVALID_HANDLE inside a CeBeginTransaction.
BOOL CeFlushDBVol();

// How long the calling thread's store calls wait for another thread's or
// process's write transaction before failing with ERROR_TIMEOUT, an
// extension of this platform: 60,000 ms until set. Returns the previous
// wait. A thread that holds a lock another thread needs sets a short wait
// for that time, so that a long writer elsewhere (an import, a backup)
// fails its calls instead of stalling both threads.
DWORD CeSetStoreWait(DWORD dwMilliseconds);

// Sets the calling thread's store wait for a scope and restores it after.
class ScopedStoreWait {
 public:
  explicit ScopedStoreWait(DWORD dwMilliseconds) : previous_(CeSetStoreWait(dwMilliseconds)) {}
  ~ScopedStoreWait() { CeSetStoreWait(previous_); }
  ScopedStoreWait(const ScopedStoreWait&) = delete;
  ScopedStoreWait& operator=(const ScopedStoreWait&) = delete;

 private:
  DWORD previous_;
};

#endif  // HOLLOWMARCH_PLATFORM_OBJECT_STORE_H_
