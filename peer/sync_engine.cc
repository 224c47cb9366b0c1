#include "peer/sync_engine.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "peer/device_requests.h"
#include "peer/mirror.h"

namespace peer {
namespace {

using nlohmann::json;

constexpr uint32_t kClasses[] = {24, 25, 26, 291, 5454};
constexpr char kNoSuchDatabase[] = "no such database";

std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

json PropertyJson(const Property& p) {
  json j = {{"id", p.propId}, {"type", p.type()}};
  switch (p.type()) {
    case 2:
    case 3:
    case 18:
    case 19:
      j["value"] = p.integer;
      break;
    case 31:
      j["value"] = Utf16ToUtf8(p.text);
      break;
    case 65:
      j["value"] = Hex(p.blob);
      break;
    default:
      j["value"] = Hex(Bytes(p.raw.begin(), p.raw.end()));
      break;
  }
  return j;
}

json RecordJson(uint32_t oidDb, const Record& r) {
  json props = json::array();
  for (const Property& p : r.props) props.push_back(PropertyJson(p));
  return {{"db", oidDb}, {"oid", r.oid}, {"props", props}};
}

bool Failed(const Reply& r, const char* what, std::string* error) {
  if (r.ok()) return false;
  char status[16];
  std::snprintf(status, sizeof status, "0x%02X", r.status & 0xFF);
  *error = std::string(what) + ": " + (r.error.empty() ? std::string("status ") + status : r.error);
  return true;
}

// The records a fast sync brings up to date, per database: each changed
// record once, whatever number of changes it had. A record with a recorded
// delete is gone for good (identifiers are never reused); any other is
// fetched in its state now, which covers every change before it.
struct ChangedRecords {
  std::map<uint32_t, std::set<uint32_t>> fetch;  // by database, in identifier order
  std::vector<std::pair<uint32_t, uint32_t>> gone;
  size_t size() const {
    size_t n = gone.size();
    for (const auto& [db, oids] : fetch) n += oids.size();
    return n;
  }
};

ChangedRecords Collect(const std::vector<ChangeRecord>& changes) {
  std::set<std::pair<uint32_t, uint32_t>> deleted;
  for (const ChangeRecord& c : changes) {
    if (c.type == 1) deleted.emplace(c.oidDb, c.oidRec);
  }
  ChangedRecords out;
  out.gone.assign(deleted.begin(), deleted.end());
  for (const ChangeRecord& c : changes) {
    if (!deleted.contains({c.oidDb, c.oidRec})) out.fetch[c.oidDb].insert(c.oidRec);
  }
  return out;
}

// Brings one record of the mirror up to date: `record` is its state now,
// null when it is gone. False with result->error set when the mirror fails.
bool Settle(Mirror& mirror, ClassSyncResult* result, uint32_t oidDb, uint32_t oidRec,
            const Record* record, const std::function<void()>& moved) {
  const bool stored = record != nullptr
                          ? mirror.Put(result->dataClass, oidDb, oidRec, RecordJson(oidDb, *record))
                          : mirror.Remove(result->dataClass, oidDb, oidRec);
  if (!stored) {
    result->error = mirror.error();
    return false;
  }
  ++result->moved;
  moved();
  return true;
}

// Whether the batch's identifiers ascend, and, after a batch read on
// without a seek, start past that batch's last one.
bool InIdentifierOrder(const std::vector<Record>& batch, bool read_on, uint32_t last) {
  if (read_on && batch.front().oid <= last) return false;
  for (size_t i = 1; i < batch.size(); ++i) {
    if (batch[i].oid <= batch[i - 1].oid) return false;
  }
  return true;
}

// Brings the mirror's copies of `oids` (records of database `oidDb`, named
// `name` to the sync) up to date. A read batch holds the sought record and
// those after it in the database: every wanted record it holds is settled
// by it. While the database shows its records in identifier order, a batch
// also spans every record from its first identifier to its last, so a run
// of changed records close together costs one seek and one read, and
// changed records a little further on cost one more read each. A wanted
// record missing from such a span is most likely gone, but the protocol
// does not promise that order: a seek settles each of those at the end
// (they are rare: a deleted record's delete is on record, and is not
// fetched). A batch in another order ends the reading on for the database:
// from there on every record not yet settled is sought on its own.
bool FetchRecords(PeerClient& client, uint32_t oidDb, const std::string& name, const std::set<uint32_t>& oids,
                  Mirror& mirror, ClassSyncResult* result, const std::function<void()>& moved) {
  bool stored = true;
  auto settle = [&](uint32_t oid, const Record* record) {
    stored = stored && Settle(mirror, result, oidDb, oid, record, moved);
  };
  uint32_t handle = kInvalidHandle, db = 0;
  if (Failed(OpenDb(client, oidDb, u"", kOpenAutoIncrement, &handle, &db), "open", &result->error)) {
    return false;
  }
  if (handle == kInvalidHandle) {
    // Its records that did not change are in the mirror still: settling
    // the changed ones alone would leave the class in part.
    result->error = "database \"" + name + "\" (" + std::to_string(oidDb) + ") is gone from the device";
    return false;
  }
  bool ok = true;
  std::set<uint32_t> pending = oids;
  std::vector<uint32_t> missing;  // from the span of a batch in identifier order
  bool ordered = true;
  // After a batch the handle stands just past its last record; the next
  // read goes on from there. `span` is the identifiers the batch covered.
  bool after_batch = false;
  uint32_t last = 0, span = 0;
  while (ok && stored && !pending.empty()) {
    const uint32_t next = *pending.begin();
    // Read on without a seek when the next changed record is likely within
    // the next batch (identifiers as dense as in the last one); a wrong
    // guess costs one read, as the seek it saves would have.
    const bool read_on = ordered && after_batch && next - last <= span;
    if (!read_on) {
      uint32_t index = 0, at = 0;
      ok = !Failed(SeekDb(client, handle, kSeekCeoid, next, &index, &at), "seek", &result->error);
      if (!ok) break;
      if (at != next) {
        // Deleted since the change was recorded, provided the store still
        // answers for the database: a seek that failed is no deletion.
        uint32_t endIndex = 0, endAt = 0;
        ok = !Failed(SeekDb(client, handle, kSeekEnd, 0, &endIndex, &endAt), "seek", &result->error);
        if (!ok) break;
        if (endAt == 0) {
          result->error = "record " + std::to_string(next) + " could not be sought, and database @" +
                          std::to_string(oidDb) + " answers no record at all";
          ok = false;
          break;
        }
        pending.erase(next);
        settle(next, nullptr);
        after_batch = false;
        continue;
      }
    }
    std::vector<Record> batch;
    ok = !Failed(ReadRecords(client, handle, &batch), "read", &result->error);
    if (!ok) break;
    if (read_on && batch.empty()) {
      // The end, or a record too large to transfer: a seek tells which.
      after_batch = false;
      continue;
    }
    if (batch.empty() || (!read_on && batch.front().oid != next)) {
      result->error = "record " + std::to_string(next) + " could not be transferred";
      ok = false;
      break;
    }
    for (const Record& r : batch) {
      if (pending.erase(r.oid) != 0) settle(r.oid, &r);
    }
    ordered = ordered && InIdentifierOrder(batch, read_on, last);
    after_batch = ordered;
    if (ordered) {
      for (auto it = pending.begin(); it != pending.end() && *it <= batch.back().oid;) {
        missing.push_back(*it);
        it = pending.erase(it);
      }
      span = batch.back().oid - batch.front().oid + 1;
      last = batch.back().oid;
    }
    if (pending.empty() && !missing.empty()) {
      // Each sought on its own: present after all (the order did not hold
      // where no batch showed it), or gone.
      pending.insert(missing.begin(), missing.end());
      missing.clear();
      ordered = after_batch = false;
    }
  }
  CloseDb(client, handle);
  return ok && stored;
}

bool FastSync(PeerClient& client, uint8_t index, uint32_t anchor, const std::vector<MirroredDatabase>& held,
              Mirror& mirror, ClassSyncResult* result, const SyncOptions& options) {
  std::vector<ChangeRecord> changes;
  if (Failed(ReadChanges(client, index, anchor, &changes), "changes", &result->error)) return false;
  std::map<uint32_t, std::string> names;
  for (const MirroredDatabase& d : held) names.emplace(d.oid, d.name);
  // A change in a database the mirror does not hold cannot be applied: its
  // other records were never read.
  for (const ChangeRecord& c : changes) {
    if (names.contains(c.oidDb)) continue;
    std::string known;
    for (const MirroredDatabase& d : held) known += (known.empty() ? "" : ", ") + d.name;
    const std::string cls = std::to_string(result->dataClass);
    result->error = "a change names database @" + std::to_string(c.oidDb) + ", which the mirror of class " +
                    cls + " does not hold (it holds " + known + "); name it among the class's databases (--db " +
                    cls + "=@" + std::to_string(c.oidDb) + ") for a slow sync that reads it";
    return false;
  }
  const ChangedRecords changed = Collect(changes);
  const size_t total = changed.size();
  auto moved = [&] {
    if (options.onRecords) options.onRecords(result->moved, total);
  };
  moved();
  for (const auto& [oidDb, oidRec] : changed.gone) {
    if (!Settle(mirror, result, oidDb, oidRec, nullptr, moved)) return false;
  }
  for (const auto& [oidDb, oids] : changed.fetch) {
    if (!FetchRecords(client, oidDb, names[oidDb], oids, mirror, result, moved)) return false;
  }
  return true;
}

bool SlowSync(PeerClient& client, const std::vector<std::string>& refs, Mirror& mirror,
              ClassSyncResult* result, const SyncOptions& options) {
  if (!mirror.ClearClass(result->dataClass)) {
    result->error = mirror.error();
    return false;
  }
  std::set<uint32_t> read;
  for (const std::string& ref : refs) {
    uint32_t oid = 0;
    std::u16string name;
    if (!ParseDatabaseRef(ref, &oid, &name)) {
      result->error = "\"" + ref + "\" names no database (a name, or @ and an identifier)";
      return false;
    }
    std::vector<Record> all;
    uint32_t oidDb = 0;
    std::string error;
    // The total grows by each database's size as it is opened.
    DumpProgress progress;
    if (options.onRecords) {
      progress = [&](size_t done, size_t total) {
        options.onRecords(result->moved + done, result->moved + total);
      };
    }
    if (!DumpDatabase(client, oid, name, &all, &oidDb, &error, progress)) {
      result->error = "database \"" + ref + "\": " + (error == kNoSuchDatabase ? "not on the device" : error);
      return false;
    }
    if (!mirror.AddDatabase(result->dataClass, ref, oidDb)) {
      result->error = mirror.error();
      return false;
    }
    if (!read.insert(oidDb).second) continue;  // named twice
    for (const Record& r : all) {
      if (!mirror.Put(result->dataClass, oidDb, r.oid, RecordJson(oidDb, r))) {
        result->error = mirror.error();
        return false;
      }
    }
    result->moved += all.size();
  }
  return true;
}

// Whether the mirror holds exactly the databases named.
bool HoldsDatabases(const std::vector<MirroredDatabase>& held, const std::vector<std::string>& refs) {
  std::set<std::string> a(refs.begin(), refs.end()), b;
  for (const MirroredDatabase& d : held) b.insert(d.name);
  return a == b;
}

// Whether each database the mirror holds by name is still the database of
// that name: one deleted and made again (a new identifier under the same
// name) must be read anew. A database held by identifier is as it is.
bool SameDatabases(PeerClient& client, const std::vector<MirroredDatabase>& held, std::string* error) {
  for (const MirroredDatabase& d : held) {
    uint32_t oid = 0;
    std::u16string name;
    if (!ParseDatabaseRef(d.name, &oid, &name) || oid != 0) continue;
    uint32_t handle = kInvalidHandle, now = 0;
    if (Failed(OpenDb(client, 0, name, 0, &handle, &now), "open", error)) return false;
    if (handle == kInvalidHandle) return false;
    CloseDb(client, handle);
    if (now != d.oid) return false;
  }
  return true;
}

// Whether a request can still be sent: the last reply came whole (or the
// last request was refused before it left).
bool Usable(const PeerClient& client) {
  return client.connected() &&
         (client.last_result() == ReceiveResult::kFrame || client.last_result() == ReceiveResult::kTooLarge);
}

}  // namespace

int ClassIndexOf(uint32_t dataClass) {
  for (int i = 0; i < 5; ++i) {
    if (kClasses[i] == dataClass) return i;
  }
  return -1;
}

std::vector<std::string> DefaultClassDatabases(uint32_t dataClass) {
  switch (dataClass) {
    case 24:
      return {"Demo Contacts"};
    case 25:
      return {"Demo Appointments"};
    case 26:
      return {"Demo Tasks"};
    case 291:
      return {"Demo Notes"};
    case 5454:
      return {"pmailMsgs"};
    default:
      return {};
  }
}

bool DumpDatabase(PeerClient& client, uint32_t oid, const std::u16string& name,
                  std::vector<Record>* records, uint32_t* oidDb, std::string* error,
                  const DumpProgress& onBatch, const DumpRecords& onRecords) {
  size_t done = 0;
  uint32_t lastRead = 0;  // the identifier of the last record read; 0 before the first
  uint32_t handle = kInvalidHandle;
  if (Failed(OpenDb(client, oid, name, kOpenAutoIncrement, &handle, oidDb), "open", error)) return false;
  if (handle == kInvalidHandle) {
    *error = kNoSuchDatabase;
    return false;
  }
  bool ok = true;
  size_t total = 0;
  if (onBatch) {
    // The last record's index gives the size; then back to the start.
    uint32_t index = 0, at = 0;
    ok = !Failed(SeekDb(client, handle, kSeekEnd, 0, &index, &at), "seek", error);
    if (ok && at != 0) {
      total = static_cast<size_t>(index) + 1;
      ok = !Failed(SeekDb(client, handle, kSeekBeginning, 0, &index, &at), "seek", error);
    }
    if (ok) onBatch(0, total);
  }
  while (ok) {
    std::vector<Record> batch;
    if (Failed(ReadRecords(client, handle, &batch), "read", error)) {
      ok = false;
      break;
    }
    if (batch.empty()) {
      // An empty batch is the end, or a record too large for any batch: a
      // seek by 0 from the current position finds a record only then.
      uint32_t index = 0, at = 0;
      if (Failed(SeekDb(client, handle, kSeekCurrent, 0, &index, &at), "seek", error)) {
        ok = false;
      } else if (at != 0) {
        *error = "record " + std::to_string(at) + " (index " + std::to_string(index) +
                 ") is too large to be transferred";
        ok = false;
      } else if (Failed(SeekDb(client, handle, kSeekEnd, 0, &index, &at), "seek", error)) {
        ok = false;
      } else if (at != lastRead) {
        // A read that failed ends a batch as the end does: the end is the
        // end only when the database's last record is the last one read.
        *error = "the reading stopped at record " + std::to_string(lastRead) +
                 ", before the database's last record " + std::to_string(at);
        ok = false;
      }
      break;
    }
    done += batch.size();
    lastRead = batch.back().oid;
    if (onRecords) {
      onRecords(batch);
    } else {
      records->insert(records->end(), batch.begin(), batch.end());
    }
    if (onBatch) onBatch(done, std::max(total, done));
  }
  CloseDb(client, handle);
  return ok;
}

bool ParseDatabaseRef(const std::string& ref, uint32_t* oid, std::u16string* name) {
  *oid = 0;
  name->clear();
  if (ref.empty()) return false;
  if (ref[0] != '@') {
    *name = Utf8ToUtf16(ref);
    return true;
  }
  const std::string digits = ref.substr(1);
  if (digits.empty() || digits[0] == '-' || digits[0] == '+' || digits[0] == ' ') return false;
  try {
    size_t used = 0;
    const unsigned long long v = std::stoull(digits, &used, 0);
    if (used != digits.size() || v == 0 || v > 0xFFFFFFFFull) return false;
    *oid = static_cast<uint32_t>(v);
    return true;
  } catch (...) {
    return false;
  }
}

std::vector<ClassSyncResult> Sync(PeerClient& client, const SyncOptions& options) {
  std::vector<ClassSyncResult> results;
  Mirror mirror;
  std::string error;
  if (!mirror.Open(options.dir, &error)) {
    ClassSyncResult result;
    result.error = error;
    results.push_back(result);
    return results;
  }
  std::vector<uint32_t> classes = options.classes;
  if (classes.empty()) classes.assign(std::begin(kClasses), std::end(kClasses));
  for (uint32_t dataClass : classes) {
    ClassSyncResult result;
    result.dataClass = dataClass;
    const int index = ClassIndexOf(dataClass);
    if (index < 0) {
      result.error = "unknown class " + std::to_string(dataClass);
      results.push_back(result);
      break;
    }
    auto it = options.databases.find(dataClass);
    const std::vector<std::string> refs =
        it != options.databases.end() ? it->second : DefaultClassDatabases(dataClass);
    const std::vector<MirroredDatabase> held = mirror.Databases(dataClass);
    const uint32_t anchor = mirror.Anchor(dataClass);
    uint8_t answer = kChangesUntracked;
    uint32_t deviceTime = 0;
    bool ok = !Failed(QuerySyncState(client, static_cast<uint8_t>(index), anchor, &answer), "state",
                      &result.error) &&
              !Failed(EnableClass(client, static_cast<uint8_t>(index), &deviceTime), "enable", &result.error);
    result.fast = ok && anchor != 0 && answer == kChangesComplete && HoldsDatabases(held, refs);
    if (result.fast) {
      std::string why;
      result.fast = SameDatabases(client, held, &why);
      if (!why.empty()) {
        result.error = why;
        ok = false;
      }
    }
    if (ok && options.progress) {
      options.progress("class " + std::to_string(dataClass) + (result.fast ? ": fast" : ": slow"));
    }
    if (ok && !mirror.Begin()) {
      result.error = mirror.error();
      ok = false;
    }
    if (ok) {
      ok = result.fast ? FastSync(client, static_cast<uint8_t>(index), anchor, held, mirror, &result, options)
                       : SlowSync(client, refs, mirror, &result, options);
    }
    if (ok && result.fast) {
      // The stream is complete only when the log still is: a class lost (or
      // entered anew) since the first query may have missed changes the
      // stream should have held. Then the class is read whole instead.
      uint8_t again = kChangesUntracked;
      ok = !Failed(QuerySyncState(client, static_cast<uint8_t>(index), anchor, &again), "state", &result.error);
      if (ok && again != kChangesComplete) {
        mirror.Rollback();
        result.fast = false;
        result.moved = 0;
        if (options.progress) options.progress("class " + std::to_string(dataClass) + ": slow after all");
        ok = mirror.Begin();
        if (!ok) result.error = mirror.error();
        if (ok) ok = SlowSync(client, refs, mirror, &result, options);
      }
    }
    if (ok) {
      ok = !Failed(FlushChanges(client), "flush", &result.error);
    } else if (Usable(client)) {
      FlushChanges(client);  // ends the reading all the same: the device lets go of the class's list
    }
    if (ok && (!mirror.SetAnchor(dataClass, deviceTime) || !mirror.Commit())) {
      result.error = mirror.error();
      ok = false;
    }
    if (!ok) mirror.Rollback();
    result.anchor = ok ? deviceTime : anchor;
    result.mirrored = mirror.Count(dataClass);
    result.connectionLost = !Usable(client);
    results.push_back(result);
    if (result.connectionLost) {
      client.Close();
      break;
    }
  }
  return results;
}

std::string PropertyValueText(const Property& p) {
  const json v = PropertyJson(p)["value"];
  return v.is_string() ? v.get<std::string>() : v.dump();
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp = 0xFFFD;
    size_t n = 1;
    auto cont = [&](size_t k) { return i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80; };
    if (c < 0x80) {
      cp = c;
    } else if ((c >> 5) == 6 && cont(1)) {
      cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F), n = 2;
    } else if ((c >> 4) == 14 && cont(1) && cont(2)) {
      cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F), n = 3;
    } else if ((c >> 3) == 30 && cont(1) && cont(2) && cont(3)) {
      cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F), n = 4;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}

}  // namespace peer
