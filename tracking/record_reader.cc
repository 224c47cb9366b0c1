#include "tracking/record_reader.h"

#include "platform/kernel.h"

ReadOnlyDb::ReadOnlyDb(CEOID oid, LPCWSTR name) : oid_(oid) {
  db_ = CeOpenDatabase(&oid_, oid != 0 ? nullptr : name, 0,
                        CEDB_AUTOINCREMENT, 0);
  if (db_ == INVALID_HANDLE_VALUE) oid_ = 0;
}

ReadOnlyDb::~ReadOnlyDb() {
  if (db_ != INVALID_HANDLE_VALUE) CloseHandle(db_);
}

bool ReadOnlyDb::SeekToStart() {
  return CeSeekDatabase(db_, CEDB_SEEK_BEGINNING, 0, nullptr) != 0;
}

bool DatabaseRecordCount(CEOID oid, WORD* count) {
  CEOIDINFO info{};
  if (!CeOidGetInfo(oid, &info) || info.wObjType != OBJTYPE_DATABASE) {
    return false;
  }
  *count = info.infDatabase.wNumRecords;
  return true;
}

RecordProps::~RecordProps() { Release(); }

void RecordProps::Release() {
  // A failed read may still have handed back a buffer; it is ours to free.
  if (buffer_ != nullptr) LocalFree(buffer_);
  buffer_ = nullptr;
  props_ = nullptr;
  count_ = 0;
  bufferBytes_ = 0;
}

CEOID RecordProps::ReadNext(HANDLE db) {
  Release();
  WORD cProps = 0;
  DWORD cbBuffer = 0;
  CEOID oid = CeReadRecordProps(db, CEDB_ALLOWREALLOC, &cProps, nullptr,
                                &buffer_, &cbBuffer);
  if (oid == 0) {
    Release();
    return 0;
  }
  // Never trust a count that the buffer cannot hold.
  if (buffer_ == nullptr ||
      static_cast<size_t>(cProps) * sizeof(CEPROPVAL) > cbBuffer) {
    cProps = buffer_ == nullptr ? 0 : static_cast<WORD>(cbBuffer / sizeof(CEPROPVAL));
  }
  props_ = reinterpret_cast<const CEPROPVAL*>(buffer_);
  count_ = cProps;
  bufferBytes_ = cbBuffer;
  return oid;
}

LPCWSTR RecordProps::StringAt(WORD i) const {
  if (i >= count_ || TypeFromPropId(props_[i].propid) != CEVT_LPWSTR) {
    return nullptr;
  }
  const BYTE* text = reinterpret_cast<const BYTE*>(props_[i].val.lpwstr);
  const BYTE* end = buffer_ + bufferBytes_;
  if (text < buffer_ || text >= end) return nullptr;
  for (const BYTE* p = text; p + sizeof(WCHAR) <= end; p += sizeof(WCHAR)) {
    if (p[0] == 0 && p[1] == 0) return props_[i].val.lpwstr;
  }
  return nullptr;
}
