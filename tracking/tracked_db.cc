#include "tracking/tracked_db.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "platform/hex.h"
#include "platform/kernel.h"
#include "platform/notification_journal.h"
#include "platform/object_store.h"
#include "settings/registry_store.h"
#include "settings/sync_state_cache.h"
#include "tracking/change_log.h"
#include "tracking/clock.h"
#include "tracking/node_list.h"
#include "tracking/sync_horizon.h"

namespace {

constexpr DWORD kSecondsPerDay = 86400;

}  // namespace

TrackedDbList::TrackedDbList(SyncStateCache& syncStates)
    : syncStates_(syncStates) {}

TrackedDbList::~TrackedDbList() { FreeAllTracked(); }

TrackedDb* TrackedDbList::FirstTracked() { return StepFirst(*this); }

TrackedDb* TrackedDbList::NextTracked() { return StepNext(*this); }

TrackedDb* TrackedDbList::FirstTrackedOfClass(DWORD dataClass) const {
  for (TrackedDb* node = pHead; node != nullptr; node = node->pNext) {
    if (node->dwClass == dataClass) return node;
  }
  return nullptr;
}

TrackedDb* TrackedDbList::NextTrackedOfClass(const TrackedDb* node) const {
  if (node == nullptr) return nullptr;
  for (TrackedDb* next = node->pNext; next != nullptr; next = next->pNext) {
    if (next->dwClass == node->dwClass) return next;
  }
  return nullptr;
}

bool TrackedDbList::AddTrackedDb(DWORD dataClass, HANDLE hDb, CEOID oidDb) {
  auto* node =
      static_cast<TrackedDb*>(LocalAlloc(LMEM_ZEROINIT, sizeof(TrackedDb)));
  if (node == nullptr) return false;
  ChangeLog* log = new (std::nothrow) ChangeLog(syncStates_);
  if (log == nullptr) {
    LocalFree(node);
    return false;
  }
  // The class's first database keeps the class's log name; any other gets a
  // name of its own, so that no database's log is opened, kept or deleted
  // as another's.
  WCHAR name[CEDB_MAXDBASENAMELEN];
  if (FirstTrackedOfClass(dataClass) == nullptr) {
    FormatClassLogName(dataClass, name, CEDB_MAXDBASENAMELEN);
  } else {
    FormatDatabaseLogName(dataClass, oidDb, name, CEDB_MAXDBASENAMELEN);
  }
  if (!log->OpenLog(dataClass, name, fKeepExistingLogs)) {
    delete log;
    LocalFree(node);
    return false;
  }
  node->pLog = log;
  node->dwClass = dataClass;
  node->hDb = hDb;
  node->oidDb = oidDb;
  LinkAtHead(*this, node);
  return true;
}

TrackedDb* TrackedDbList::FindTrackedByDb(CEOID oidDb) {
  for (TrackedDb* node = FirstTracked(); node != nullptr;
       node = NextTracked()) {
    if (node->oidDb == oidDb) return node;
  }
  return nullptr;
}

bool TrackedDbList::LoadClassLog(DWORD dataClass) {
  bool any = false;
  for (TrackedDb* node = FirstTracked(); node != nullptr;
       node = NextTracked()) {
    if (node->dwClass != dataClass) continue;
    any = true;
    node->pLog->LoadLog();
  }
  return any;
}

bool TrackedDbList::EndClassLog(DWORD dataClass) {
  bool any = false;
  for (TrackedDb* node = FirstTracked(); node != nullptr;
       node = NextTracked()) {
    if (node->dwClass != dataClass) continue;
    any = true;
    node->pLog->RewriteLog(false);
  }
  return any;
}

bool TrackedDbList::DiscoverClassDbs(DWORD dataClass, bool recent,
                                     HWND hwndNotify) {
  HANDLE enumeration = CeFindFirstDatabase(dataClass);
  if (enumeration == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  bool allKept = true;
  WORD count = 0;
  for (CEOID oid = CeFindNextDatabase(enumeration); oid != 0;
       oid = CeFindNextDatabase(enumeration)) {
    if (FindTrackedByDb(oid) != nullptr) {
      ++count;
      continue;
    }
    CEOID oidOpen = oid;
    HANDLE hDb = CeOpenDatabase(&oidOpen, nullptr, 0, 0, hwndNotify);
    if (hDb == INVALID_HANDLE_VALUE) {
      ok = false;
    } else if (AddTrackedDb(dataClass, hDb, oid)) {
      ++count;
      if (!pHead->pLog->KeptOnOpen()) allKept = false;
      // A database the dead instance's journal did not watch was written
      // with nobody told (made while no instance ran, say): its log, kept
      // or taken over, cannot hold those changes.
      BOOL watched = TRUE;
      if (CeJournalWasWatching(oid, &watched) && !watched) allKept = false;
    } else {
      // Untracked: its notifications would reach nobody.
      CloseHandle(hDb);
      ok = false;
    }
  }
  if (count == 0) ok = false;
  CloseHandle(enumeration);
  if (DeleteOrphanedLogs(dataClass)) allKept = false;

  // A log kept across a restart can be trusted only when the caller vouches
  // for the restart (`recent`: the device itself has just started, or the
  // logs were kept on purpose, and the journal was taken over) and the log
  // was still there (a database of the class
  // tracked for the first time, or one whose log had gone, has changes that
  // nobody recorded); a class not fully tracked cannot serve a fast sync.
  if ((GetSyncState(syncStates_, dataClass) == SyncStateTracking && (!recent || !allKept)) ||
      !ok) {
    LoseClass(syncStates_, dataClass);
  }
  return ok;
}

bool TrackedDbList::DeleteOrphanedLogs(DWORD dataClass) {
  HANDLE enumeration = CeFindFirstDatabase(dataClass + kLogTypeOffset);
  if (enumeration == INVALID_HANDLE_VALUE) return false;
  // The names of the class's further logs differ only in their last
  // kDatabaseLogOidDigits characters, the database's identifier in hex.
  WCHAR prefix[CEDB_MAXDBASENAMELEN];
  FormatDatabaseLogName(dataClass, 0, prefix, CEDB_MAXDBASENAMELEN);
  const size_t prefixLength = std::u16string_view(prefix).size() - kDatabaseLogOidDigits;
  std::vector<CEOID> orphans;
  for (CEOID oid = CeFindNextDatabase(enumeration); oid != 0;
       oid = CeFindNextDatabase(enumeration)) {
    CEOIDINFO info;
    if (!CeOidGetInfo(oid, &info) || info.wObjType != OBJTYPE_DATABASE) continue;
    const WCHAR* name = info.infDatabase.szDbaseName;
    // Only a name this system gives, exactly: read the database's
    // identifier back from it and format it again.
    size_t i = 0;
    while (i < prefixLength && name[i] == prefix[i]) ++i;
    if (i != prefixLength) continue;
    // The name's terminating NUL stops the parse of a name cut short.
    CEOID named = 0;
    if (!platform::ParseLowerHex(name + prefixLength, kDatabaseLogOidDigits, &named)) continue;
    WCHAR expected[CEDB_MAXDBASENAMELEN];
    FormatDatabaseLogName(dataClass, named, expected, CEDB_MAXDBASENAMELEN);
    if (std::u16string_view(name) != std::u16string_view(expected)) continue;
    bool owned = false;
    for (const TrackedDb* node = pHead; node != nullptr && !owned; node = node->pNext) {
      owned = node->pLog != nullptr && node->pLog->LogDbOid() == oid;
    }
    if (!owned) orphans.push_back(oid);
  }
  CloseHandle(enumeration);
  for (CEOID oid : orphans) CeDeleteDatabase(oid);
  return !orphans.empty();
}

bool TrackedDbList::CheckClassDatabases(DWORD dataClass, bool byType, HWND hwndNotify) {
  bool unchanged = true;
  for (TrackedDb* node = FirstTrackedOfClass(dataClass); node != nullptr;
       node = NextTrackedOfClass(node)) {
    if (node->hDb == INVALID_HANDLE_VALUE) continue;  // retired before
    CEOIDINFO info;
    if (CeOidGetInfo(node->oidDb, &info) && info.wObjType == OBJTYPE_DATABASE) continue;
    unchanged = false;
    RetireTrackedDb(node);
  }
  bool untracked = false;
  if (byType) {
    HANDLE enumeration = CeFindFirstDatabase(dataClass);
    if (enumeration != INVALID_HANDLE_VALUE) {
      for (CEOID oid = CeFindNextDatabase(enumeration); oid != 0;
           oid = CeFindNextDatabase(enumeration)) {
        if (FindTrackedByDb(oid) == nullptr) untracked = true;
      }
      CloseHandle(enumeration);
    }
  }
  if (unchanged && !untracked) return true;
  if (GetSyncState(syncStates_, dataClass) == SyncStateTracking) LoseClass(syncStates_, dataClass);
  if (untracked) DiscoverClassDbs(dataClass, false, hwndNotify);
  return false;
}

void TrackedDbList::RetireTrackedDb(TrackedDb* node) {
  CloseHandle(node->hDb);
  node->hDb = INVALID_HANDLE_VALUE;
  node->pLog->DeleteLogDb();
}

bool TrackedDbList::PurgeOldChanges() {
  const DWORD now = CurrentTime();
  // In 64 bits: a limit of more than 49,710 days must not wrap into a short
  // one and purge recent changes.
  const uint64_t maxAge = uint64_t{GetPurgeDays()} * kSecondsPerDay;

  for (TrackedDb* node = FirstTracked(); node != nullptr;
       node = NextTracked()) {
    if (node->hDb == INVALID_HANDLE_VALUE) continue;
    ChangeLog* log = node->pLog;
    ChangeEntry* entry = log->FirstOldest();
    // Unsigned age: an entry stamped later than now counts as very old.
    while (entry != nullptr && DWORD(now - entry->dwTime) > maxAge) {
      log->RemoveEntry(entry);
      entry = log->NextNewer();
    }
  }

  // A limit reaching back before 1970 has no cutoff to raise SyncTime to.
  if (maxAge > now) return true;
  const DWORD cutoff = now - static_cast<DWORD>(maxAge);
  for (TrackedDb* node = FirstTracked(); node != nullptr;
       node = NextTracked()) {
    // Only a tracking class makes a promise to keep; a lost one keeps its
    // horizon 0.
    RaiseSyncTime(syncStates_, node->dwClass, cutoff);
  }
  return true;
}

bool TrackedDbList::CloseAllTracked(bool keepLogs) {
  for (TrackedDb* node = FirstTracked(); node != nullptr;
       node = NextTracked()) {
    CloseHandle(node->hDb);
    if (keepLogs) {
      node->pLog->CloseLogDb();
    } else {
      node->pLog->DeleteLogDb();
    }
  }
  return true;
}

bool TrackedDbList::RemoveTrackedDb(TrackedDb* node) {
  if (node == nullptr) return false;
  if (node->pLog != nullptr) {
    node->pLog->FreeEntries();
    delete node->pLog;
    node->pLog = nullptr;
  }
  return Unlink(*this, node);
}

bool TrackedDbList::FreeAllTracked() {
  bool ok = true;
  for (TrackedDb* node = FirstTracked(); node != nullptr;
       node = NextTracked()) {
    if (!RemoveTrackedDb(node)) ok = false;
  }
  pCursor = nullptr;
  pHead = nullptr;
  return ok;
}
