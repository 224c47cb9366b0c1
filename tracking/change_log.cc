#include "tracking/change_log.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "platform/kernel.h"
#include "platform/object_store.h"
#include "platform/system_info.h"
#include "settings/registry_store.h"
#include "tracking/clock.h"
#include "tracking/sync_horizon.h"
#include "tracking/trace.h"

namespace {

void PutLe32(BYTE* out, DWORD value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(value >> (8 * i));
}

DWORD GetLe32(const BYTE* in) {
  return static_cast<DWORD>(in[0]) | static_cast<DWORD>(in[1]) << 8 |
         static_cast<DWORD>(in[2]) << 16 | static_cast<DWORD>(in[3]) << 24;
}

// One change as read from a record.
struct ChangeRecord {
  BYTE bType;
  DWORD dwTime;
  DWORD dwReserved;
  DWORD dwUid;
  CEOID oidRec;
};

// The one property of a change-log record, over the 17 bytes of `blob`.
CEPROPVAL RecordProp(BYTE* blob) {
  CEPROPVAL prop;
  std::memset(&prop, 0, sizeof(prop));
  prop.propid = kChangeRecordPropId;
  prop.val.blob.dwCount = kChangeRecordSize;
  prop.val.blob.lpb = blob;
  return prop;
}

ChangeRecord DecodeChangeRecord(const BYTE in[kChangeRecordSize]) {
  return ChangeRecord{in[0], GetLe32(in + 1), GetLe32(in + 5), GetLe32(in + 9),
                      GetLe32(in + 13)};
}

void WidenAscii(const char* text, WCHAR* out, int out_chars) {
  if (out_chars <= 0) return;
  int i = 0;
  for (; text[i] != '\0' && i < out_chars - 1; ++i) {
    out[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
  }
  out[i] = 0;
}

}  // namespace

void FormatClassLogName(DWORD dataClass, WCHAR* out, int out_chars) {
  char name[64];
  std::snprintf(name, sizeof name, "\\Hollowmarch Change Log %u",
                dataClass + kLogTypeOffset);
  WidenAscii(name, out, out_chars);
}

void FormatDatabaseLogName(DWORD dataClass, CEOID oidDb, WCHAR* out,
                           int out_chars) {
  // At most 30 characters, within the store's 31.
  char name[64];
  std::snprintf(name, sizeof name, "\\Hollowmarch Log %u %0*x",
                dataClass + kLogTypeOffset, static_cast<int>(kDatabaseLogOidDigits), oidDb);
  WidenAscii(name, out, out_chars);
}

void EncodeChangeRecord(BYTE bType, DWORD dwTime, DWORD dwReserved, DWORD dwUid,
                        CEOID oidRec, BYTE out[kChangeRecordSize]) {
  out[0] = bType;
  PutLe32(out + 1, dwTime);
  PutLe32(out + 5, dwReserved);
  PutLe32(out + 9, dwUid);
  PutLe32(out + 13, oidRec);
}

ChangeLog::ChangeLog(SyncStateCache& syncStates)
    : qwFreeBytes(kUnknownFreeBytes), syncStates_(syncStates) {}

// The list releases its entries itself.
ChangeLog::~ChangeLog() = default;

void ChangeLog::FormatName(WCHAR* name) const {
  if (szLogName[0] != 0) {
    size_t i = 0;
    for (; szLogName[i] != 0; ++i) name[i] = szLogName[i];
    name[i] = 0;
    return;
  }
  FormatClassLogName(DataClass(), name, CEDB_MAXDBASENAMELEN);
}

bool ChangeLog::OpenLog(DWORD dataClass, LPCWSTR name, bool keepExisting) {
  size_t i = 0;
  for (; name != nullptr && name[i] != 0 && i + 1 < std::size(szLogName); ++i) {
    szLogName[i] = name[i];
  }
  szLogName[i] = 0;
  return OpenLog(dataClass, keepExisting);
}

bool ChangeLog::OpenLog(DWORD dataClass, bool keepExisting) {
  bool recent = keepExisting || BootedRecently();
  dwLogType = dataClass + kLogTypeOffset;
  WCHAR name[CEDB_MAXDBASENAMELEN];
  FormatName(name);
  oidLogDb = 0;
  hLogDb = CeOpenDatabase(&oidLogDb, name, 0, CEDB_AUTOINCREMENT, 0);
  fLogKept = 0;
  mirror_.Invalidate();
  if (recent) {
    // Only the program restarted: the log from before is used unchanged.
    // What it holds is known after its first load.
    if (hLogDb != INVALID_HANDLE_VALUE) {
      fLogKept = 1;
      return true;
    }
    return CreateLogDb();
  }
  if (hLogDb != INVALID_HANDLE_VALUE) DeleteLogDb();
  return CreateLogDb();
}

void ChangeLog::ForgetDatabase() {
  CloseHandle(hLogDb);
  hLogDb = INVALID_HANDLE_VALUE;
  oidLogDb = 0;
  if (list_.HasEntries()) FreeEntries();
  cRecordsLoaded = 0;
  mirror_.Invalidate();
}

bool ChangeLog::CreateLogDb() {
  if (hLogDb != INVALID_HANDLE_VALUE) return true;
  WCHAR name[CEDB_MAXDBASENAMELEN];
  FormatName(name);
  oidLogDb = CeCreateDatabase(name, dwLogType, 0, nullptr);
  // A new database is empty; a stale one written on holds who knows what.
  mirror_.Reset(oidLogDb != 0);
  if (oidLogDb == 0 && GetLastError() == ERROR_ALREADY_EXISTS) {
    // A log left behind by a delete that failed (a full store, say): its
    // class was lost with it, so it is replaced, or, when it still cannot be
    // deleted, written on.
    CEOID stale = 0;
    HANDLE h = CeOpenDatabase(&stale, name, 0, CEDB_AUTOINCREMENT, 0);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    oidLogDb = CeDeleteDatabase(stale) ? CeCreateDatabase(name, dwLogType, 0, nullptr) : stale;
    mirror_.Reset(oidLogDb != 0 && oidLogDb != stale);
  }
  if (oidLogDb == 0) {
    // Whatever the store's reason (left in its last error), there is no log.
    return false;
  }
  CEOID oid = oidLogDb;
  // A failed open leaves hLogDb invalid; the next write fails and says so.
  hLogDb = CeOpenDatabase(&oid, name, 0, CEDB_AUTOINCREMENT, 0);
  return true;
}

bool ChangeLog::DeleteLogDb() {
  CloseHandle(hLogDb);
  hLogDb = INVALID_HANDLE_VALUE;
  // Whatever the database held, the loaded list stands for none of a new one.
  cRecordsLoaded = 0;
  mirror_.Invalidate();
  if (!CeDeleteDatabase(oidLogDb)) {
    // Whatever the store's reason (left in its last error), the log stays.
    return false;
  }
  oidLogDb = 0;
  return true;
}

bool ChangeLog::ShortOfSpace(DWORD* records) {
  CEOIDINFO info;
  std::memset(&info, 0, sizeof(info));
  if (!CeOidGetInfo(oidLogDb, &info) || info.wObjType != OBJTYPE_DATABASE ||
      info.infDatabase.wNumRecords < kTrimMinRecords || HasFreeSpace()) {
    return false;
  }
  *records = TrueRecordCount(info.infDatabase.wNumRecords);
  return true;
}

bool ChangeLog::HaveDatabase() {
  if (CreateLogDb()) return true;
  // Nothing could be written: the change is as lost as after a failed write.
  LoseClass(syncStates_, DataClass());
  return false;
}

bool ChangeLog::PrepareAppend() {
  if (!HaveDatabase()) return false;
  DWORD records = 0;
  if (ShortOfSpace(&records)) TrimOldest(records);
  return true;
}

bool ChangeLog::AppendChange(BYTE bType, CEOID oidRec, DWORD dwUid) {
  if (!PrepareAppend()) return false;
  // The time is taken after the trim.
  return WriteEntry(bType, CurrentTime(), oidRec, dwUid);
}

bool ChangeLog::AppendChanges(const PendingChange* changes, size_t n, DWORD* dwTime) {
  assert(n > 0);
  if (!HaveDatabase()) return false;
  DWORD logRecords = 0;
  if (ShortOfSpace(&logRecords)) {
    // Short of space the changes go one by one, each after its own trim, as
    // single appends would: a trim may then reach the group's own first
    // records, and a log never shrinks below what single appends leave.
    // Rare, so the cost of single writes does not matter here.
    for (size_t i = 0; i < n; ++i) {
      if (!PrepareAppend()) return false;
      const DWORD now = CurrentTime();
      if (!WriteEntry(changes[i].bType, now, changes[i].oidRec, changes[i].dwUid)) return false;
      *dwTime = now;
    }
    return true;
  }
  // The time is taken after the check, one for the group.
  const DWORD now = CurrentTime();
  std::vector<std::array<BYTE, kChangeRecordSize>> blobs(n);
  std::vector<CEPROPVAL> props(n);
  std::vector<CEAPPENDRECORD> records(n);
  for (size_t i = 0; i < n; ++i) {
    EncodeChangeRecord(changes[i].bType, now, 0, changes[i].dwUid, changes[i].oidRec,
                       blobs[i].data());
    props[i] = RecordProp(blobs[i].data());
    records[i] = CEAPPENDRECORD{1, &props[i]};
  }
  std::vector<CEOID> oids(n);
  if (CeAppendRecords(hLogDb, static_cast<DWORD>(n), records.data(), oids.data())) {
    for (size_t i = 0; i < n; ++i) {
      mirror_.Append(oids[i], changes[i].bType, now, changes[i].oidRec, changes[i].dwUid);
    }
    *dwTime = now;
    return true;
  }
  // As for one failed write: the log can no longer serve a fast sync.
  DeleteLogDb();
  LoseClass(syncStates_, DataClass());
  return false;
}

bool ChangeLog::WriteEntry(BYTE bType, DWORD dwTime, CEOID oidRec, DWORD dwUid) {
  BYTE blob[kChangeRecordSize];
  EncodeChangeRecord(bType, dwTime, 0, dwUid, oidRec, blob);
  CEPROPVAL prop = RecordProp(blob);
  // A record is appended wherever the handle stands; every read of the log
  // seeks first.
  CEOID written = CeWriteRecordProps(hLogDb, 0, 1, &prop);
  if (written != 0) {
    mirror_.Append(written, bType, dwTime, oidRec, dwUid);
    return true;
  }
  // Whatever the store's reason, a change is lost: the log can no longer
  // serve a fast sync.
  DeleteLogDb();
  LoseClass(syncStates_, DataClass());
  return false;
}

ChangeLog::ReadResult ChangeLog::ReadNextRecord(BYTE record[kChangeRecordSize], CEOID* oid) {
  WORD numProps = 0;
  LPBYTE buffer = nullptr;
  DWORD size = 0;
  CEOID read = CeReadRecordProps(hLogDb, CEDB_ALLOWREALLOC, &numProps, nullptr,
                                 &buffer, &size);
  if (read == 0) {
    bool atEnd = GetLastError() == ERROR_NO_MORE_ITEMS;
    if (buffer != nullptr) LocalFree(buffer);
    return atEnd ? ReadResult::kEnd : ReadResult::kError;
  }
  *oid = read;
  // Another program may have written anything into this database: take the
  // record only when its first property is a blob of at least 17 bytes.
  ReadResult result = ReadResult::kMalformed;
  if (buffer != nullptr && numProps >= 1 && size >= sizeof(CEPROPVAL)) {
    CEPROPVAL first;
    std::memcpy(&first, buffer, sizeof(first));
    if (TypeFromPropId(first.propid) == CEVT_BLOB &&
        (first.wFlags & CEDB_PROPNOTFOUND) == 0 &&
        first.val.blob.dwCount >= kChangeRecordSize && first.val.blob.lpb != nullptr) {
      std::memcpy(record, first.val.blob.lpb, kChangeRecordSize);
      result = ReadResult::kRecord;
    }
  }
  LocalFree(buffer);
  return result;
}

bool ChangeLog::LoadLog() {
  CeSeekDatabase(hLogDb, CEDB_SEEK_BEGINNING, 0, nullptr);
  fRewrite = 0;
  list_.ResetInsertCount();
  cRecordsLoaded = 0;
  // What the mirror knew of the database sizes the tables for the load, so
  // that they do not grow step by step (only a hint: the database may hold
  // other records by now).
  const size_t expected = mirror_.valid() ? mirror_.DistinctRecords() : 0;
  // Reading the whole database teaches the mirror anew.
  mirror_.Reset(true);
  if (expected != 0) {
    mirror_.Reserve(expected);
    list_.Reserve(expected);
  }
  // Records are read many at a time: one store read per batch, not one
  // read and one buffer per record (10 KB of stack).
  constexpr DWORD kBatch = 256;
  CEFIRSTPROP batch[kBatch];
  for (;;) {
    const DWORD read = CeReadFirstProps(hLogDb, kBatch, batch);
    const DWORD stop = read < kBatch ? GetLastError() : ERROR_SUCCESS;
    for (DWORD i = 0; i < read; ++i) {
      // The tables are looked up at random places: those of a record a few
      // ahead are fetched while this one is handled.
      constexpr DWORD kAhead = 8;
      if (i + kAhead < read && batch[i + kAhead].cbBlob >= kChangeRecordSize) {
        const CEOID ahead = GetLe32(batch[i + kAhead].abBlob + 13);
        list_.Prefetch(ahead);
        mirror_.Prefetch(ahead);
      }
      if (!LoadRecord(batch[i])) {
        mirror_.Invalidate();
        return false;
      }
    }
    if (read == kBatch) continue;
    if (stop == ERROR_NO_MORE_ITEMS) return true;
    mirror_.Invalidate();
    return false;
  }
}

// One record of a load; false when resolving a duplicate failed.
bool ChangeLog::LoadRecord(const CEFIRSTPROP& read) {
  ++cRecordsLoaded;
  // Another program may have written anything into this database: take the
  // record only when its first property is a blob of at least 17 bytes. A
  // record that holds no change is left out and kept on file.
  if (read.wNumProps == 0 || TypeFromPropId(read.propid) != CEVT_BLOB ||
      read.cbBlob < kChangeRecordSize) {
    mirror_.AppendMalformed(read.oid);
    return true;
  }
  const BYTE* bytes = read.abBlob;
  ChangeRecord r = DecodeChangeRecord(bytes);
  mirror_.Append(read.oid, r.bType, r.dwTime, r.oidRec, r.dwUid);
  ChangeEntry* prior = FindEntry(r.oidRec);
  if (prior == nullptr) {
    // No memory: the record is left out and the load goes on.
    list_.Insert(r.bType, r.oidRec, r.dwTime, r.dwReserved, r.dwUid, read.oid,
                 ChangeTimeList::Allocation::kPooled);
    return true;
  }
  return ResolveDuplicate(prior, bytes, read.oid);
}

// Keeps one entry of the prior entry P and the record R of the same oidRec.
// An entry without a uid always gives way to a record with one.
bool ChangeLog::ResolveDuplicate(ChangeEntry* prior, const BYTE record[kChangeRecordSize], CEOID oidLogRec) {
  ChangeRecord r = DecodeChangeRecord(record);
  ChangeEntry p = *prior;  // traces show P as it was before its removal
  fRewrite = 1;
  DWORD uid = p.dwUid == kNoUid ? r.dwUid : p.dwUid;
  Trace("Duplicate Record Node(s) found with OID %08x", r.oidRec);
  bool replace;
  if (p.dwTime < r.dwTime) {
    Trace("Newer time is %08x", r.dwTime);
    Trace("Time of prior (removed) is %08x", p.dwTime);
    replace = true;
  } else if (p.dwUid == kNoUid && r.dwUid != kNoUid) {
    Trace("Time of Newer duplicate is %08x", r.dwTime);
    Trace("OID of prior (removed) is %08x", p.oidRec);
    Trace("Time of prior (removed) is %08x", p.dwTime);
    uid = r.dwUid;
    replace = true;
  } else if (p.dwTime > r.dwTime) {
    Trace("Time is %08x", r.dwTime);
    Trace("OID of prior (kept, current skipped) is %08x", p.oidRec);
    Trace("Time of prior (kept, current skipped) is %08x", p.dwTime);
    replace = false;
  } else {
    Trace(" Duplicate time is %08x", r.dwTime);
    Trace(" prior Type is %d", p.bType);
    Trace(" new Type is %d", r.bType);
    Trace("Time is %08x", r.dwTime);
    replace = r.bType == ChangeTypeDelete;
    if (replace) {
      Trace("OID of prior (removed non-delete) is %08x", p.oidRec);
      Trace("Time of prior (removed non-delete) is %08x", p.dwTime);
    } else {
      Trace("OID of prior (kept, current skipped) is %08x", p.oidRec);
      Trace("Time of prior (kept, current skipped) is %08x", p.dwTime);
    }
  }
  // A skipped record stays on file until fRewrite has the rewrite drop it.
  if (!replace) return true;
  if (!RemoveEntry(prior)) return false;
  list_.Insert(r.bType, r.oidRec, r.dwTime, r.dwReserved, uid, oidLogRec,
               ChangeTimeList::Allocation::kPooled);
  return true;
}

bool ChangeLog::FreeEntries() {
  cRecordsLoaded = 0;
  return list_.FreeEntries();
}

bool ChangeLog::ReadAppendedRecords(std::vector<std::array<BYTE, kChangeRecordSize>>* records) {
  if (hLogDb == INVALID_HANDLE_VALUE) return true;
  if (CeSeekDatabase(hLogDb, CEDB_SEEK_BEGINNING, cRecordsLoaded, nullptr) == 0) {
    // Past the last record: nothing was appended since the load.
    return GetLastError() == ERROR_NO_MORE_ITEMS;
  }
  for (;;) {
    std::array<BYTE, kChangeRecordSize> bytes;
    CEOID oid = 0;
    ReadResult read = ReadNextRecord(bytes.data(), &oid);
    if (read == ReadResult::kEnd) return true;
    if (read == ReadResult::kError) return false;
    if (read == ReadResult::kRecord) records->push_back(bytes);
  }
}

ChangeLog::RewriteResult ChangeLog::RewriteEntries() {
  // Records appended since the load are not in the list; they are written
  // back after it. When they cannot all be read, the stored log stays.
  std::vector<std::array<BYTE, kChangeRecordSize>> appended;
  if (!ReadAppendedRecords(&appended)) return RewriteResult::kNotStarted;
  DeleteLogDb();
  CreateLogDb();
  for (ChangeEntry* e = FirstOldest(); e != nullptr; e = NextNewer()) {
    if (!WriteEntry(e->bType, e->dwTime, e->oidRec, e->dwUid)) {
      return RewriteResult::kWriteFailed;
    }
  }
  for (const auto& bytes : appended) {
    ChangeRecord r = DecodeChangeRecord(bytes.data());
    if (!WriteEntry(r.bType, r.dwTime, r.oidRec, r.dwUid)) {
      return RewriteResult::kWriteFailed;
    }
  }
  return RewriteResult::kDone;
}

bool ChangeLog::RewriteLog(bool force) {
  if (fRewrite != 0 || force) {
    // A process killed during the rewrite would leave a log that misses
    // changes: the class reads lost until it is done.
    bool held = false;
    DWORD syncTime = 0;
    if (!HoldForRewrite(syncStates_, DataClass(), &held, &syncTime)) {
      // The stored log keeps its duplicates; the next load resolves them.
      FreeEntries();
      return false;
    }
    RewriteResult result = RewriteEntries();
    // A failed write has deleted the database and marked the class lost.
    if (result == RewriteResult::kWriteFailed) return false;
    if (held) EndRewriteHold(syncStates_, DataClass(), syncTime, syncTime);
    if (result == RewriteResult::kNotStarted) {
      FreeEntries();
      return false;
    }
    // A second rewrite without a load must not rebuild from an empty list.
    fRewrite = 0;
  }
  FreeEntries();
  return true;
}

bool ChangeLog::DeleteEntryRecord(const ChangeEntry* entry) {
  if (entry == nullptr) return false;
  CeSeekDatabase(hLogDb, CEDB_SEEK_BEGINNING, 0, nullptr);
  for (DWORD position = 0;; ++position) {
    BYTE bytes[kChangeRecordSize];
    CEOID oid = 0;
    ReadResult read = ReadNextRecord(bytes, &oid);
    if (read == ReadResult::kEnd) return true;
    if (read == ReadResult::kError) return false;
    if (read != ReadResult::kRecord || GetLe32(bytes + 13) != entry->oidRec) continue;
    bool deleted = CeDeleteRecord(hLogDb, oid) != 0;
    // A loaded record is gone: the records appended since shift forward.
    if (deleted && position < cRecordsLoaded) --cRecordsLoaded;
    if (deleted) {
      size_t at = mirror_.Find(oid);
      if (at != ChangeRecordMirror::kNotFound) {
        mirror_.Erase(at, at + 1);
      } else {
        mirror_.Invalidate();
      }
    } else {
      mirror_.Invalidate();
    }
    return deleted;
  }
}

void ChangeLog::CloseLogDb() {
  CloseHandle(hLogDb);
  hLogDb = INVALID_HANDLE_VALUE;
}

bool ChangeLog::HasFreeSpace() {
  ULARGE_INTEGER totalFree;
  totalFree.QuadPart = 0;
  if (GetDiskFreeSpaceExW(u"\\", nullptr, nullptr, &totalFree)) {
    qwFreeBytes = totalFree.QuadPart;
  }
  return qwFreeBytes > kLowFreeSpaceBytes;
}
