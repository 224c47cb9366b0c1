// What a change log knows of its database's records without reading them:
// each record's identifier and change, in file order, and whether a
// load of the database would drop anything (a record sharing its oidRec with
// another, or one that holds no change).
//
// The mirror lets a trim find the oldest changes and delete their records in
// place instead of loading and rewriting the whole log. It is only as good as
// the knowledge behind it: the owning ChangeLog marks it valid when it has
// read the whole database or made it empty, keeps it in step with every
// write and delete of its own, and invalidates it whenever the database may
// differ (a failed call, a rolled-back transaction, a database kept from
// before). A user checks valid() and, since another program might write the
// database, the record count, before trusting it.
//
// About 20 bytes per record plus 16 to 32 per distinct oidRec. Not
// thread-safe; guarded with its log.
#ifndef HOLLOWMARCH_TRACKING_CHANGE_RECORD_MIRROR_H_
#define HOLLOWMARCH_TRACKING_CHANGE_RECORD_MIRROR_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/types.h"

class ChangeRecordMirror {
 public:
  struct Record {
    CEOID oid;       // the log record's identifier (increasing in file order)
    DWORD dwTime;
    CEOID oidRec;
    DWORD dwUid;
    BYTE bType;
    bool malformed;  // holds no change; a load leaves it out
  };
  static constexpr size_t kNotFound = SIZE_MAX;

  ChangeRecordMirror() = default;
  ChangeRecordMirror(const ChangeRecordMirror&) = delete;
  ChangeRecordMirror& operator=(const ChangeRecordMirror&) = delete;

  // Forgets every record. `valid`: the database is known to be empty now.
  void Reset(bool valid);
  // Forgets every record; the mirror says nothing until the next Reset(true).
  void Invalidate() { Reset(false); }
  bool valid() const { return valid_; }

  // Adds a record after the others. Invalidates the mirror when the record
  // does not follow the last one or no memory can be had.
  void Append(CEOID oid, BYTE bType, DWORD dwTime, CEOID oidRec, DWORD dwUid);
  void AppendMalformed(CEOID oid);

  // Makes room for `distinct` oidRecs, so that counting them in does not
  // grow the table step by step. False when no memory could be had (the
  // mirror is unchanged and still works).
  bool Reserve(size_t distinct);
  // How many different oidRecs the records hold.
  size_t DistinctRecords() const { return keyCount_ + (zeroOidCount_ != 0 ? 1 : 0); }

  // As ChangeEntryIndex::Prefetch, for the count of that oidRec.
  void Prefetch(CEOID oidRec) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[SlotOf(oidRec)]);
  }

  size_t size() const { return records_.size(); }
  const Record& at(size_t index) const { return records_[index]; }
  // After the record's uid was rewritten.
  void SetUid(size_t index, DWORD dwUid) { records_[index].dwUid = dwUid; }
  // The index of the record with that identifier, or kNotFound.
  size_t Find(CEOID oid) const;
  // Removes the records [from, to).
  void Erase(size_t from, size_t to);
  // Removes the records whose `keep` is false (keep has size() elements).
  void Compact(const std::vector<bool>& keep);

  // A load would list one entry per record: no oidRec twice, nothing
  // malformed.
  bool Clean() const { return duplicates_ == 0 && malformed_ == 0; }
  // Times never decrease (unsigned) in file order.
  bool TimeOrdered() const { return timeInversions_ == 0; }
  // With TimeOrdered: the end of the run of records from `from` that share
  // its time (the first index with a later time, or size()).
  size_t RunEnd(size_t from) const;

 private:
  // Counts of records per oidRec, open addressing over (key, count) pairs.
  // Key 0 marks a free slot, so oidRec 0 is counted apart.
  struct Slot {
    CEOID key;
    uint32_t count;
  };
  bool CountIn(CEOID oidRec);   // false: no memory
  void CountOut(CEOID oidRec);
  size_t SlotOf(CEOID key) const;
  bool Rehash(size_t capacity);
  // The number of adjacent pairs (i-1, i) with a later time before an
  // earlier one; erasing recomputes only the pairs it touches.
  uint32_t InversionAt(size_t index) const;

  bool valid_ = false;
  std::deque<Record> records_;
  std::vector<Slot> slots_;  // power-of-two size
  size_t keyCount_ = 0;
  uint32_t zeroOidCount_ = 0;
  size_t duplicates_ = 0;  // records whose oidRec another record has too
  size_t malformed_ = 0;
  size_t timeInversions_ = 0;
};

#endif  // HOLLOWMARCH_TRACKING_CHANGE_RECORD_MIRROR_H_
