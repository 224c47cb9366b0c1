#include "tracking/change_record_mirror.h"

#include <algorithm>
#include <new>

void ChangeRecordMirror::Reset(bool valid) {
  std::deque<Record>().swap(records_);
  std::vector<Slot>().swap(slots_);
  keyCount_ = 0;
  zeroOidCount_ = 0;
  duplicates_ = 0;
  malformed_ = 0;
  timeInversions_ = 0;
  valid_ = valid;
}

size_t ChangeRecordMirror::SlotOf(CEOID key) const {
  uint64_t h = static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15ULL;
  return static_cast<size_t>(h >> 32) & (slots_.size() - 1);
}

bool ChangeRecordMirror::Reserve(size_t distinct) {
  size_t capacity = slots_.empty() ? 64 : slots_.size();
  while (distinct * 2 > capacity) capacity *= 2;
  return capacity == slots_.size() || Rehash(capacity);
}

bool ChangeRecordMirror::Rehash(size_t capacity) {
  std::vector<Slot> old;
  try {
    old.swap(slots_);
    slots_.assign(capacity, Slot{0, 0});
  } catch (const std::bad_alloc&) {
    slots_.swap(old);
    return false;
  }
  for (const Slot& s : old) {
    if (s.key == 0) continue;
    size_t i = SlotOf(s.key);
    while (slots_[i].key != 0) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = s;
  }
  return true;
}

bool ChangeRecordMirror::CountIn(CEOID oidRec) {
  uint32_t* count = nullptr;
  if (oidRec == 0) {
    count = &zeroOidCount_;
  } else {
    // At most half full, so probes stay short and always end at a free slot.
    if ((keyCount_ + 1) * 2 > slots_.size() &&
        !Rehash(slots_.empty() ? 64 : slots_.size() * 2)) {
      return false;
    }
    size_t i = SlotOf(oidRec);
    while (slots_[i].key != 0 && slots_[i].key != oidRec) i = (i + 1) & (slots_.size() - 1);
    if (slots_[i].key == 0) {
      slots_[i] = Slot{oidRec, 0};
      ++keyCount_;
    }
    count = &slots_[i].count;
  }
  if (++*count >= 2) ++duplicates_;
  return true;
}

void ChangeRecordMirror::CountOut(CEOID oidRec) {
  if (oidRec == 0) {
    if (zeroOidCount_ >= 2) --duplicates_;
    if (zeroOidCount_ > 0) --zeroOidCount_;
    return;
  }
  if (slots_.empty()) return;
  const size_t mask = slots_.size() - 1;
  size_t i = SlotOf(oidRec);
  while (slots_[i].key != 0 && slots_[i].key != oidRec) i = (i + 1) & mask;
  if (slots_[i].key == 0) return;
  if (slots_[i].count >= 2) --duplicates_;
  if (--slots_[i].count > 0) return;
  // Backward-shift deletion keeps every probe run unbroken.
  size_t hole = i;
  size_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    if (slots_[j].key == 0) break;
    size_t home = SlotOf(slots_[j].key);
    bool stays = (hole <= j) ? (hole < home && home <= j) : (hole < home || home <= j);
    if (stays) continue;
    slots_[hole] = slots_[j];
    hole = j;
  }
  slots_[hole] = Slot{0, 0};
  --keyCount_;
}

uint32_t ChangeRecordMirror::InversionAt(size_t index) const {
  if (index == 0 || index >= records_.size()) return 0;
  return records_[index - 1].dwTime > records_[index].dwTime ? 1 : 0;
}

void ChangeRecordMirror::Append(CEOID oid, BYTE bType, DWORD dwTime, CEOID oidRec,
                                DWORD dwUid) {
  if (!valid_) return;
  if (!records_.empty() && records_.back().oid >= oid) {
    Invalidate();
    return;
  }
  try {
    records_.push_back(Record{oid, dwTime, oidRec, dwUid, bType, false});
  } catch (const std::bad_alloc&) {
    Invalidate();
    return;
  }
  if (!CountIn(oidRec)) {
    Invalidate();
    return;
  }
  timeInversions_ += InversionAt(records_.size() - 1);
}

void ChangeRecordMirror::AppendMalformed(CEOID oid) {
  if (!valid_) return;
  if (!records_.empty() && records_.back().oid >= oid) {
    Invalidate();
    return;
  }
  try {
    records_.push_back(Record{oid, 0, 0, 0, 0, true});
  } catch (const std::bad_alloc&) {
    Invalidate();
    return;
  }
  ++malformed_;
  timeInversions_ += InversionAt(records_.size() - 1);
}

size_t ChangeRecordMirror::Find(CEOID oid) const {
  auto it = std::lower_bound(records_.begin(), records_.end(), oid,
                             [](const Record& r, CEOID o) { return r.oid < o; });
  if (it == records_.end() || it->oid != oid) return kNotFound;
  return static_cast<size_t>(it - records_.begin());
}

void ChangeRecordMirror::Erase(size_t from, size_t to) {
  to = std::min(to, records_.size());
  if (from >= to) return;
  for (size_t i = from; i <= to && i < records_.size(); ++i) timeInversions_ -= InversionAt(i);
  for (size_t i = from; i < to; ++i) {
    if (records_[i].malformed) {
      --malformed_;
    } else {
      CountOut(records_[i].oidRec);
    }
  }
  records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(from),
                 records_.begin() + static_cast<std::ptrdiff_t>(to));
  timeInversions_ += InversionAt(from);
}

void ChangeRecordMirror::Compact(const std::vector<bool>& keep) {
  if (!valid_) return;
  std::deque<Record> old;
  old.swap(records_);
  Reset(true);
  for (size_t i = 0; i < old.size() && valid_; ++i) {
    if (i < keep.size() && !keep[i]) continue;
    if (old[i].malformed) {
      AppendMalformed(old[i].oid);
    } else {
      Append(old[i].oid, old[i].bType, old[i].dwTime, old[i].oidRec, old[i].dwUid);
    }
  }
}

size_t ChangeRecordMirror::RunEnd(size_t from) const {
  if (from >= records_.size()) return records_.size();
  const DWORD time = records_[from].dwTime;
  auto it = std::upper_bound(records_.begin() + static_cast<std::ptrdiff_t>(from), records_.end(),
                             time, [](DWORD t, const Record& r) { return t < r.dwTime; });
  return static_cast<size_t>(it - records_.begin());
}
