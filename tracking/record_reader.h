// Reading object-store databases record by record, with the handle and each
// record's property buffer released on every path.
//
// ReadOnlyDb owns a database handle opened for reading (CEDB_AUTOINCREMENT,
// no notification window) and closes it when it goes out of scope.
// RecordProps holds the properties of the record last read; the platform
// allocates the buffer and RecordProps releases it before the next read and
// on destruction.
//
// Threads: one object per thread; the objects keep no shared state.
#ifndef HOLLOWMARCH_TRACKING_RECORD_READER_H_
#define HOLLOWMARCH_TRACKING_RECORD_READER_H_

#include "platform/object_store.h"
#include "platform/types.h"

class ReadOnlyDb {
 public:
  // Opens by name (oid 0) or by oid (name null); check ok().
  ReadOnlyDb(CEOID oid, LPCWSTR name);
  ~ReadOnlyDb();
  ReadOnlyDb(const ReadOnlyDb&) = delete;
  ReadOnlyDb& operator=(const ReadOnlyDb&) = delete;

  bool ok() const { return db_ != INVALID_HANDLE_VALUE; }
  HANDLE handle() const { return db_; }
  // The database's oid (written back by an open by name); 0 when not open.
  CEOID oid() const { return oid_; }
  // Moves to the first record; false when that fails (also for an empty
  // database).
  bool SeekToStart();

 private:
  HANDLE db_ = INVALID_HANDLE_VALUE;
  CEOID oid_ = 0;
};

// The record count of database `oid` into *count; false when the object
// information cannot be had.
bool DatabaseRecordCount(CEOID oid, WORD* count);

class RecordProps {
 public:
  RecordProps() = default;
  ~RecordProps();
  RecordProps(const RecordProps&) = delete;
  RecordProps& operator=(const RecordProps&) = delete;

  // Releases the previous record's buffer and reads the record at the
  // handle's position (all properties, platform-allocated buffer). The
  // record's oid, or 0 when the read failed (nothing is then held).
  CEOID ReadNext(HANDLE db);
  // Releases the buffer now.
  void Release();

  WORD count() const { return count_; }
  const CEPROPVAL& operator[](WORD i) const { return props_[i]; }
  // The string of property i when it is a CEVT_LPWSTR whose text lies,
  // NUL-terminated, inside the buffer; null otherwise.
  LPCWSTR StringAt(WORD i) const;

 private:
  BYTE* buffer_ = nullptr;
  const CEPROPVAL* props_ = nullptr;
  WORD count_ = 0;
  DWORD bufferBytes_ = 0;
};

#endif  // HOLLOWMARCH_TRACKING_RECORD_READER_H_
