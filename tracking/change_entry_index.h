// An index of change entries by oidRec, kept beside a ChangeLog's list so
// that finding an entry does not walk the list.
//
// Open addressing with linear probing over entry pointers (the key is read
// from the entry), so it costs about 16 bytes per entry. Several entries may
// share one oidRec. The entries are owned by the list, not by the index.
// Not thread-safe; guarded with its log.
#ifndef HOLLOWMARCH_TRACKING_CHANGE_ENTRY_INDEX_H_
#define HOLLOWMARCH_TRACKING_CHANGE_ENTRY_INDEX_H_

#include <cstddef>
#include <vector>

#include "platform/types.h"

struct ChangeEntry;  // tracking/change_entry.h

class ChangeEntryIndex {
 public:
  ChangeEntryIndex() = default;
  ChangeEntryIndex(const ChangeEntryIndex&) = delete;
  ChangeEntryIndex& operator=(const ChangeEntryIndex&) = delete;

  // Adds an entry (its oidRec must not change while it is indexed). False
  // when no memory could be had for growing; the index is unchanged then.
  bool Add(ChangeEntry* entry);
  // Makes room for `count` entries in all, so that adding up to that many
  // does not grow the table step by step. False when no memory could be
  // had; the index is unchanged then (and still works).
  bool Reserve(size_t count);
  // Removes that entry; nothing when it is not indexed.
  void Remove(const ChangeEntry* entry);
  // Asks the processor to fetch where FindNewest and Add for that oidRec
  // will look, so that a caller about to index many entries does not wait
  // for memory once per entry. Changes nothing.
  void Prefetch(CEOID oidRec) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[SlotOf(oidRec)]);
  }
  // The newest (in list order) indexed entry with that oidRec, or null.
  ChangeEntry* FindNewest(CEOID oidRec) const;
  // Forgets every entry and releases the table.
  void Clear();
  size_t size() const { return count_; }

 private:
  size_t SlotOf(CEOID oidRec) const;
  bool Rehash(size_t capacity);

  std::vector<ChangeEntry*> slots_;  // power-of-two size, null = free
  size_t count_ = 0;
};

#endif  // HOLLOWMARCH_TRACKING_CHANGE_ENTRY_INDEX_H_
