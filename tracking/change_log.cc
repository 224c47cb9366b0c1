#include "tracking/change_log.h"

#include <algorithm>
#include <array>
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

ChangeLog::~ChangeLog() {
  if (pOldest != nullptr) FreeEntries();
  ReleaseEntryBlocks();
}

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
  if (pOldest != nullptr) FreeEntries();
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
    GetLastError();
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
    GetLastError();
    return false;
  }
  oidLogDb = 0;
  return true;
}

bool ChangeLog::AppendChange(BYTE bType, CEOID oidRec, DWORD dwUid) {
  if (!CreateLogDb()) {
    // Nothing could be written: the change is as lost as after a failed
    // write.
    LoseClass(syncStates_, DataClass());
    return false;
  }
  CEOIDINFO info;
  std::memset(&info, 0, sizeof(info));
  if (CeOidGetInfo(oidLogDb, &info) && info.wObjType == OBJTYPE_DATABASE &&
      info.infDatabase.wNumRecords >= kTrimMinRecords && !HasFreeSpace()) {
    TrimOldest(TrueRecordCount(info.infDatabase.wNumRecords));
  }
  // The time is taken after the trim.
  return WriteEntry(bType, CurrentTime(), oidRec, dwUid);
}

bool ChangeLog::WriteEntry(BYTE bType, DWORD dwTime, CEOID oidRec, DWORD dwUid) {
  BYTE blob[kChangeRecordSize];
  EncodeChangeRecord(bType, dwTime, 0, dwUid, oidRec, blob);
  CEPROPVAL prop;
  std::memset(&prop, 0, sizeof(prop));
  prop.propid = kChangeRecordPropId;
  prop.val.blob.dwCount = kChangeRecordSize;
  prop.val.blob.lpb = blob;
  // A record is appended wherever the handle stands; every read of the log
  // seeks first.
  CEOID written = CeWriteRecordProps(hLogDb, 0, 1, &prop);
  if (written != 0) {
    mirror_.Append(written, bType, dwTime, oidRec, dwUid);
    return true;
  }
  GetLastError();
  // A change is lost: the log can no longer serve a fast sync.
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
  cEntries = 0;
  cRecordsLoaded = 0;
  // What the mirror knew of the database sizes the tables for the load, so
  // that they do not grow step by step (only a hint: the database may hold
  // other records by now).
  const size_t expected = mirror_.valid() ? mirror_.DistinctRecords() : 0;
  // Reading the whole database teaches the mirror anew.
  mirror_.Reset(true);
  if (expected != 0) {
    mirror_.Reserve(expected);
    index_.Reserve(index_.size() + expected);
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
        index_.Prefetch(ahead);
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
    InsertLoaded(r.bType, r.oidRec, r.dwTime, r.dwReserved, r.dwUid, read.oid,
                 Allocation::kPooled);
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
  InsertLoaded(r.bType, r.oidRec, r.dwTime, r.dwReserved, uid, oidLogRec, Allocation::kPooled);
  return true;
}

bool ChangeLog::InsertEntry(BYTE bType, CEOID oidRec, DWORD dwTime,
                            DWORD dwReserved, DWORD dwUid) {
  const bool known = index_.FindNewest(oidRec) != nullptr;
  if (InsertLoaded(bType, oidRec, dwTime, dwReserved, dwUid, 0, Allocation::kOwnBlock) == nullptr) {
    return false;
  }
  if (known) fOnePerRecord = false;
  return true;
}

ChangeEntry* ChangeLog::AllocatePooled() {
  ChangeEntry* entry = freePooled_;
  if (entry != nullptr) {
    freePooled_ = entry->pOlder;
    *entry = ChangeEntry{};
  } else {
    if (blockUsed_ == kEntriesPerBlock) {
      if (entryBlocks_.size() == entryBlocks_.capacity()) {
        try {
          entryBlocks_.reserve(entryBlocks_.size() * 2 + 8);
        } catch (const std::bad_alloc&) {
          return nullptr;
        }
      }
      // Zero-filled: every entry of it starts as a new one.
      auto* block =
          static_cast<ChangeEntry*>(LocalAlloc(LPTR, sizeof(ChangeEntry) * kEntriesPerBlock));
      if (block == nullptr) return nullptr;
      entryBlocks_.push_back(block);
      blockUsed_ = 0;
    }
    entry = entryBlocks_.back() + blockUsed_++;
  }
  entry->fPooled = 1;
  return entry;
}

bool ChangeLog::Release(ChangeEntry* entry) {
  if (entry->fPooled == 0) return LocalFree(entry) == nullptr;
  entry->pOlder = freePooled_;
  freePooled_ = entry;
  return true;
}

void ChangeLog::ReleaseEntryBlocks() {
  for (ChangeEntry* block : entryBlocks_) LocalFree(block);
  std::vector<ChangeEntry*>().swap(entryBlocks_);
  blockUsed_ = kEntriesPerBlock;
  freePooled_ = nullptr;
}

ChangeEntry* ChangeLog::InsertLoaded(BYTE bType, CEOID oidRec, DWORD dwTime, DWORD dwReserved,
                                     DWORD dwUid, CEOID oidLogRec, Allocation allocation) {
  ChangeEntry* entry = allocation == Allocation::kPooled
                           ? AllocatePooled()
                           : static_cast<ChangeEntry*>(LocalAlloc(LPTR, sizeof(ChangeEntry)));
  if (entry == nullptr) return nullptr;
  entry->bType = bType;
  entry->dwTime = dwTime;
  entry->dwReserved = dwReserved;
  entry->dwUid = dwUid;
  entry->oidRec = oidRec;
  entry->oidLogRec = oidLogRec;
  if (!index_.Add(entry)) {
    Release(entry);
    return nullptr;
  }
  Link(entry);
  ++cEntries;
  return entry;
}

// Links a new entry after every entry older than it and before every entry
// of its time or newer, leaving the cursor where a newest-first walk for
// that place would stop: at the entry just older, or null.
ChangeEntry* ChangeLog::Link(ChangeEntry* entry) {
  const DWORD time = entry->dwTime;
  fOldestFirst = 0;
  ChangeEntry* older = nullptr;
  if (pNewest == nullptr) {
    pOldest = entry;
    pNewest = entry;
    pNewestRunOldest = entry;
    pCursor = nullptr;
    return entry;
  }
  if (pNewest->dwTime < time) {
    // Appended records come in time order: this is the usual case.
    older = pNewest;
    pNewestRunOldest = entry;
  } else {
    if (pNewestRunOldest == nullptr) {
      ChangeEntry* run = pNewest;
      while (run->pOlder != nullptr && run->pOlder->dwTime == run->dwTime) run = run->pOlder;
      pNewestRunOldest = run;
    }
    // Every entry of the newest run is at least as new: the walk starts
    // below it. A burst of one second thus costs nothing per entry.
    older = pNewestRunOldest->pOlder;
    while (older != nullptr && !(older->dwTime < time)) older = older->pOlder;
    if (time == pNewest->dwTime) pNewestRunOldest = entry;
  }
  if (older != nullptr) {
    entry->pOlder = older;
    entry->pNewer = older->pNewer;
    if (older->pNewer != nullptr) {
      older->pNewer->pOlder = entry;
    } else {
      pNewest = entry;
    }
    older->pNewer = entry;
  } else {
    entry->pNewer = pOldest;
    pOldest->pOlder = entry;
    pOldest = entry;
  }
  pCursor = older;
  return entry;
}

ChangeEntry* ChangeLog::FirstNewest() {
  fOldestFirst = 0;
  pCursor = pNewest;
  return pCursor;
}

ChangeEntry* ChangeLog::NextOlder() {
  pCursor = pCursor != nullptr ? pCursor->pOlder : pNewest;
  return pCursor;
}

ChangeEntry* ChangeLog::FirstOldest() {
  fOldestFirst = 1;
  pCursor = pOldest;
  return pCursor;
}

ChangeEntry* ChangeLog::NextNewer() {
  pCursor = pCursor != nullptr ? pCursor->pNewer : pOldest;
  return pCursor;
}

void ChangeLog::RewindNewestFirst() {
  fOldestFirst = 0;
  pCursor = nullptr;
}

ChangeEntry* ChangeLog::FindEntry(CEOID oidRec) {
  // The index gives what a newest-first walk would stop at, and the cursor
  // is left where that walk would have left it.
  ChangeEntry* found = index_.FindNewest(oidRec);
  fOldestFirst = 0;
  pCursor = found;
  return found;
}

bool ChangeLog::RemoveEntry(const ChangeEntry* entry) {
  if (entry == nullptr) return false;
  index_.Remove(entry);
  ++removals_;
  if (entry == pNewestRunOldest) {
    // The next newer entry shares the newest time; without one, the new
    // newest's run is found when it is needed.
    pNewestRunOldest = entry->pNewer;
  }
  if (entry->pNewer != nullptr) {
    pCursor = entry->pNewer;
    entry->pNewer->pOlder = entry->pOlder;
  }
  if (entry->pOlder != nullptr) entry->pOlder->pNewer = entry->pNewer;
  if (entry == pNewest) {
    if (fOldestFirst == 0) pCursor = nullptr;
    pNewest = entry->pOlder;
  }
  if (entry == pOldest) {
    if (fOldestFirst != 0) pCursor = nullptr;
    pOldest = entry->pNewer;
  }
  // The log allocated every entry of its list as a mutable one.
  return Release(const_cast<ChangeEntry*>(entry));
}

bool ChangeLog::FreeEntries() {
  index_.Clear();
  bool all_released = true;
  for (ChangeEntry* entry = FirstNewest(); entry != nullptr; entry = NextOlder()) {
    if (!RemoveEntry(entry)) all_released = false;
  }
  pOldest = nullptr;
  pCursor = nullptr;
  pNewest = nullptr;
  pNewestRunOldest = nullptr;
  cRecordsLoaded = 0;
  fOnePerRecord = true;
  ReleaseEntryBlocks();
  ++generation_;
  return all_released;
}

ChangeCursor ChangeLog::NewestCursor() const {
  return ChangeCursor(this, generation_, removals_, pNewest);
}

ChangeCursor ChangeLog::IterationCursor() const {
  return ChangeCursor(this, generation_, removals_, pCursor);
}

ChangeCursor ChangeLog::OlderCursor(const ChangeCursor& at) const {
  if (!IsIntact(at)) return at;
  return ChangeCursor(this, generation_, removals_,
                      at.entry_ != nullptr ? at.entry_->pOlder : nullptr);
}

const char* ChangeLog::CheckInvariants() const {
  if ((pOldest == nullptr) != (pNewest == nullptr)) return "only one end of the list is set";
  if (fOldestFirst > 1) return "fOldestFirst is neither 0 nor 1";
  std::unordered_set<const ChangeEntry*> live;
  std::unordered_set<CEOID> records;
  bool onePerRecord = true;
  const ChangeEntry* newer = nullptr;
  for (const ChangeEntry* e = pNewest; e != nullptr; e = e->pOlder) {
    if (e->pNewer != newer) return "an entry's newer link does not lead back";
    if (newer != nullptr && newer->dwTime < e->dwTime) return "the list is out of time order";
    if (!live.insert(e).second) return "the list runs in a circle";
    if (!records.insert(e->oidRec).second) onePerRecord = false;
    const ChangeEntry* indexed = index_.FindNewest(e->oidRec);
    if (indexed == nullptr || indexed->oidRec != e->oidRec) return "an entry is not indexed";
    newer = e;
  }
  if (newer != pOldest) return "the oldest entry is not the end of the list";
  if (index_.size() != live.size()) return "the index holds entries the list does not";
  for (const CEOID oid : records) {
    if (live.count(index_.FindNewest(oid)) == 0) return "the index gives a released entry";
  }
  if (fOnePerRecord && !onePerRecord) return "two entries share a record";
  if (pCursor != nullptr && live.count(pCursor) == 0) return "the cursor is on no live entry";
  if (pNewestRunOldest != nullptr) {
    if (live.count(pNewestRunOldest) == 0) return "the newest run's end is on no live entry";
    if (pNewestRunOldest->dwTime != pNewest->dwTime ||
        (pNewestRunOldest->pOlder != nullptr &&
         pNewestRunOldest->pOlder->dwTime == pNewest->dwTime)) {
      return "the newest run's end is not the oldest entry of the newest time";
    }
  }
  return nullptr;
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

DWORD ChangeLog::TrueRecordCount(WORD numRecords) {
  // The record count of a database stops at 0xFFFF; the index of its last
  // record goes on.
  if (numRecords < 0xFFFF) return numRecords;
  DWORD last = 0;
  if (CeSeekDatabase(hLogDb, CEDB_SEEK_END, 0, &last) == 0) return numRecords;
  return last + 1;
}

void ChangeLog::TrimOldest(DWORD numRecords) {
  if (TrimFromMirror(numRecords)) return;
  TrimLoaded();
}

// The trim without a load. When a load would take every record as an entry
// of its own and the records stand in time order, the list would hold them
// oldest first as they stand, except that a run of one time lists its later
// records as older. The n oldest entries are thus whole runs from the front
// and the last records of the run that follows.
bool ChangeLog::TrimFromMirror(DWORD numRecords) {
  if (pOldest != nullptr || !mirror_.valid() || !mirror_.Clean() || !mirror_.TimeOrdered() ||
      mirror_.size() != numRecords) {
    return false;
  }
  // Nothing for a load to drop: cEntries would be the record count.
  const size_t n = std::min<size_t>(kTrimRecords, mirror_.size());
  size_t whole = 0;    // records [0, whole) go
  size_t runEnd = 0;   // and [runEnd - partial, runEnd)
  size_t partial = 0;
  while (whole < n) {
    size_t end = mirror_.RunEnd(whole);
    if (end - whole > n - whole) {
      partial = n - whole;
      runEnd = end;
      break;
    }
    whole = end;
  }
  std::vector<CEOID> doomed;
  for (size_t i = 0; i < whole; ++i) doomed.push_back(mirror_.at(i).oid);
  for (size_t i = runEnd - partial; i < runEnd; ++i) doomed.push_back(mirror_.at(i).oid);
  // The log is complete from the oldest record left, or, when part of that
  // second's run goes, from the second after it. With nothing left, it is
  // complete from now on.
  DWORD oldest = mirror_.size() > n ? mirror_.at(whole).dwTime : CurrentTime();
  if (partial != 0) oldest += 1;
  bool held = false;
  DWORD syncTime = 0;
  if (!HoldForRewrite(syncStates_, DataClass(), &held, &syncTime)) return true;
  if (!DeleteRecordsInPlace(doomed)) return true;
  if (partial != 0) mirror_.Erase(runEnd - partial, runEnd);
  mirror_.Erase(0, whole);
  // The horizon only rises: a loss may have raised it past what the log
  // still holds.
  if (held) EndRewriteHold(syncStates_, DataClass(), syncTime, oldest);
  return true;
}

bool ChangeLog::DeleteRecordsInPlace(const std::vector<CEOID>& records) {
  for (CEOID oid : records) {
    if (CeDeleteRecord(hLogDb, oid) != 0) continue;
    GetLastError();
    // What the log holds is no longer known for sure: as after a failed
    // write, the class is lost and the next append starts afresh.
    DeleteLogDb();
    LoseClass(syncStates_, DataClass());
    return false;
  }
  return true;
}

// After a load and the removal of the oldest entries: deletes every record
// that no entry was loaded from (the duplicates the load dropped, those that
// hold no change, the removed entries'), and writes an entry's uid into its
// record where the entry took another record's. The database then loads as
// the list stands, as it would after a rewrite. Not in place, leaving the
// database alone, when an entry has no record of its own, or when the kept
// records would not stand in time order, which a rewrite restores (and on
// which a trim without a load depends).
ChangeLog::InPlaceResult ChangeLog::DropUnlistedRecords() {
  if (!mirror_.valid()) return InPlaceResult::kNotInPlace;
  std::vector<bool> keep(mirror_.size(), false);
  std::vector<std::pair<size_t, const ChangeEntry*>> uidTaken;
  for (const ChangeEntry* e = pOldest; e != nullptr; e = e->pNewer) {
    size_t at = e->oidLogRec != 0 ? mirror_.Find(e->oidLogRec) : ChangeRecordMirror::kNotFound;
    if (at == ChangeRecordMirror::kNotFound || keep[at]) return InPlaceResult::kNotInPlace;
    const ChangeRecordMirror::Record& r = mirror_.at(at);
    if (r.malformed || r.bType != e->bType || r.dwTime != e->dwTime || r.oidRec != e->oidRec) {
      return InPlaceResult::kNotInPlace;
    }
    if (r.dwUid != e->dwUid) uidTaken.emplace_back(at, e);
    keep[at] = true;
  }
  std::vector<CEOID> doomed;
  bool any = false;
  DWORD last = 0;
  for (size_t i = 0; i < mirror_.size(); ++i) {
    if (!keep[i]) {
      doomed.push_back(mirror_.at(i).oid);
      continue;
    }
    if (any && last > mirror_.at(i).dwTime) return InPlaceResult::kNotInPlace;
    last = mirror_.at(i).dwTime;
    any = true;
  }
  for (const auto& [at, e] : uidTaken) {
    BYTE blob[kChangeRecordSize];
    EncodeChangeRecord(e->bType, e->dwTime, 0, e->dwUid, e->oidRec, blob);
    CEPROPVAL prop;
    std::memset(&prop, 0, sizeof(prop));
    prop.propid = kChangeRecordPropId;
    prop.val.blob.dwCount = kChangeRecordSize;
    prop.val.blob.lpb = blob;
    if (CeWriteRecordProps(hLogDb, mirror_.at(at).oid, 1, &prop) == 0) {
      GetLastError();
      DeleteLogDb();
      LoseClass(syncStates_, DataClass());
      return InPlaceResult::kFailed;
    }
    mirror_.SetUid(at, e->dwUid);
  }
  if (!DeleteRecordsInPlace(doomed)) return InPlaceResult::kFailed;
  mirror_.Compact(keep);
  return InPlaceResult::kDone;
}

// The trim with a load: for a list already loaded by a reader, for a log
// whose records a load would not take one for one, or whose records the log
// does not know.
void ChangeLog::TrimLoaded() {
  if (!LoadLog()) {
    // Only part of the log was read: rewriting from it would lose the rest.
    FreeEntries();
    return;
  }
  // Both counted in full while loading; every record the load dropped
  // counts towards the ten.
  int64_t n = int64_t{cEntries} - int64_t{cRecordsLoaded} + kTrimRecords;
  if (n < 0) n = 0;
  ChangeEntry* e = FirstOldest();
  bool removedAny = false;
  DWORD lastRemoved = 0;
  for (int64_t i = 0; i < n && e != nullptr; ++i) {
    removedAny = true;
    lastRemoved = e->dwTime;
    RemoveEntry(e);
    e = NextNewer();
  }
  // Complete from the oldest entry left, or from the second after it when
  // part of its second went; with nothing left, from now on.
  DWORD oldest = pOldest != nullptr ? pOldest->dwTime : CurrentTime();
  if (pOldest != nullptr && removedAny && lastRemoved == oldest) oldest += 1;
  bool marked = false;
  DWORD syncTime = 0;
  if (!HoldForRewrite(syncStates_, DataClass(), &marked, &syncTime)) {
    FreeEntries();
    return;
  }
  InPlaceResult inPlace = DropUnlistedRecords();
  if (inPlace == InPlaceResult::kFailed) {
    FreeEntries();
    return;
  }
  if (inPlace == InPlaceResult::kNotInPlace) {
    RewriteResult result = RewriteEntries();
    if (result == RewriteResult::kWriteFailed) {
      FreeEntries();
      return;
    }
    if (result == RewriteResult::kNotStarted) {
      if (marked) EndRewriteHold(syncStates_, DataClass(), syncTime, syncTime);
      FreeEntries();
      return;
    }
  }
  // The horizon only rises: a loss may have raised it past what the log
  // still holds.
  if (marked) EndRewriteHold(syncStates_, DataClass(), syncTime, oldest);
  fRewrite = 0;
  FreeEntries();
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
