#include "tracking/change_entry_index.h"

#include <new>

#include "tracking/change_entry.h"

namespace {

// Which of two entries of one list is newer. The list is ordered by unsigned
// time, and entries of equal time by position, so only a tie needs a walk.
bool IsNewer(const ChangeEntry* a, const ChangeEntry* b) {
  if (a->dwTime != b->dwTime) return a->dwTime > b->dwTime;
  for (const ChangeEntry* e = b->pNewer; e != nullptr && e->dwTime == b->dwTime;
       e = e->pNewer) {
    if (e == a) return true;
  }
  return false;
}

}  // namespace

size_t ChangeEntryIndex::SlotOf(CEOID oidRec) const {
  // Fibonacci hashing spreads the often sequential identifiers.
  uint64_t h = static_cast<uint64_t>(oidRec) * 0x9E3779B97F4A7C15ULL;
  return static_cast<size_t>(h >> 32) & (slots_.size() - 1);
}

bool ChangeEntryIndex::Reserve(size_t count) {
  size_t capacity = slots_.empty() ? 64 : slots_.size();
  while (count * 2 > capacity) capacity *= 2;
  return capacity == slots_.size() || Rehash(capacity);
}

bool ChangeEntryIndex::Rehash(size_t capacity) {
  std::vector<ChangeEntry*> old;
  try {
    old.swap(slots_);
    slots_.assign(capacity, nullptr);
  } catch (const std::bad_alloc&) {
    slots_.swap(old);
    return false;
  }
  for (ChangeEntry* entry : old) {
    if (entry == nullptr) continue;
    size_t i = SlotOf(entry->oidRec);
    while (slots_[i] != nullptr) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = entry;
  }
  return true;
}

bool ChangeEntryIndex::Add(ChangeEntry* entry) {
  // At most half full, so probes stay short and always end at a free slot.
  if ((count_ + 1) * 2 > slots_.size() &&
      !Rehash(slots_.empty() ? 64 : slots_.size() * 2)) {
    return false;
  }
  size_t i = SlotOf(entry->oidRec);
  while (slots_[i] != nullptr) i = (i + 1) & (slots_.size() - 1);
  slots_[i] = entry;
  ++count_;
  return true;
}

void ChangeEntryIndex::Remove(const ChangeEntry* entry) {
  if (slots_.empty()) return;
  const size_t mask = slots_.size() - 1;
  size_t i = SlotOf(entry->oidRec);
  while (slots_[i] != nullptr && slots_[i] != entry) i = (i + 1) & mask;
  if (slots_[i] == nullptr) return;
  // Backward-shift deletion: move later members of the probe run into the
  // hole when their home slot does not lie between the hole and them.
  size_t hole = i;
  size_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    if (slots_[j] == nullptr) break;
    size_t home = SlotOf(slots_[j]->oidRec);
    bool stays = (hole <= j) ? (hole < home && home <= j) : (hole < home || home <= j);
    if (stays) continue;
    slots_[hole] = slots_[j];
    hole = j;
  }
  slots_[hole] = nullptr;
  --count_;
}

ChangeEntry* ChangeEntryIndex::FindNewest(CEOID oidRec) const {
  if (count_ == 0) return nullptr;
  ChangeEntry* newest = nullptr;
  for (size_t i = SlotOf(oidRec); slots_[i] != nullptr; i = (i + 1) & (slots_.size() - 1)) {
    ChangeEntry* entry = slots_[i];
    if (entry->oidRec != oidRec) continue;
    if (newest == nullptr || IsNewer(entry, newest)) newest = entry;
  }
  return newest;
}

void ChangeEntryIndex::Clear() {
  std::vector<ChangeEntry*>().swap(slots_);
  count_ = 0;
}
