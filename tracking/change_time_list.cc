#include "tracking/change_time_list.h"

#include <new>
#include <unordered_set>

#include "platform/kernel.h"

ChangeTimeList::~ChangeTimeList() {
  if (pOldest != nullptr) FreeEntries();
  ReleaseEntryBlocks();
}

bool ChangeTimeList::InsertEntry(BYTE bType, CEOID oidRec, DWORD dwTime, DWORD dwReserved,
                                 DWORD dwUid) {
  const bool known = index_.FindNewest(oidRec) != nullptr;
  if (Insert(bType, oidRec, dwTime, dwReserved, dwUid, 0, Allocation::kOwnBlock) == nullptr) {
    return false;
  }
  if (known) fOnePerRecord = false;
  return true;
}

ChangeEntry* ChangeTimeList::AllocatePooled() {
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

bool ChangeTimeList::Release(ChangeEntry* entry) {
  if (entry->fPooled == 0) return LocalFree(entry) == nullptr;
  entry->pOlder = freePooled_;
  freePooled_ = entry;
  return true;
}

void ChangeTimeList::ReleaseEntryBlocks() {
  for (ChangeEntry* block : entryBlocks_) LocalFree(block);
  std::vector<ChangeEntry*>().swap(entryBlocks_);
  blockUsed_ = kEntriesPerBlock;
  freePooled_ = nullptr;
}

ChangeEntry* ChangeTimeList::Insert(BYTE bType, CEOID oidRec, DWORD dwTime, DWORD dwReserved,
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
ChangeEntry* ChangeTimeList::Link(ChangeEntry* entry) {
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

ChangeEntry* ChangeTimeList::FirstNewest() {
  fOldestFirst = 0;
  pCursor = pNewest;
  return pCursor;
}

ChangeEntry* ChangeTimeList::NextOlder() {
  pCursor = pCursor != nullptr ? pCursor->pOlder : pNewest;
  return pCursor;
}

ChangeEntry* ChangeTimeList::FirstOldest() {
  fOldestFirst = 1;
  pCursor = pOldest;
  return pCursor;
}

ChangeEntry* ChangeTimeList::NextNewer() {
  pCursor = pCursor != nullptr ? pCursor->pNewer : pOldest;
  return pCursor;
}

void ChangeTimeList::RewindNewestFirst() {
  fOldestFirst = 0;
  pCursor = nullptr;
}

ChangeEntry* ChangeTimeList::FindEntry(CEOID oidRec) {
  // The index gives what a newest-first walk would stop at, and the cursor
  // is left where that walk would have left it.
  ChangeEntry* found = index_.FindNewest(oidRec);
  fOldestFirst = 0;
  pCursor = found;
  return found;
}

bool ChangeTimeList::RemoveEntry(const ChangeEntry* entry) {
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

bool ChangeTimeList::FreeEntries() {
  index_.Clear();
  bool all_released = true;
  for (ChangeEntry* entry = FirstNewest(); entry != nullptr; entry = NextOlder()) {
    if (!RemoveEntry(entry)) all_released = false;
  }
  pOldest = nullptr;
  pCursor = nullptr;
  pNewest = nullptr;
  pNewestRunOldest = nullptr;
  fOnePerRecord = true;
  ReleaseEntryBlocks();
  ++generation_;
  return all_released;
}

ChangeCursor ChangeTimeList::NewestCursor() const {
  return ChangeCursor(this, generation_, removals_, pNewest);
}

ChangeCursor ChangeTimeList::IterationCursor() const {
  return ChangeCursor(this, generation_, removals_, pCursor);
}

ChangeCursor ChangeTimeList::OlderCursor(const ChangeCursor& at) const {
  if (!IsIntact(at)) return at;
  return ChangeCursor(this, generation_, removals_,
                      at.entry_ != nullptr ? at.entry_->pOlder : nullptr);
}

const char* ChangeTimeList::CheckInvariants() const {
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
