#include "tools/hmdevice_store.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/kernel.h"
#include "platform/object_store.h"

namespace hmdevice {

namespace {

// Closes the handle it holds.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != 0; }

 private:
  HANDLE handle_;
};

std::string DatabaseName(const CEDBASEINFO& info) {
  WCHAR name[CEDB_MAXDBASENAMELEN + 1] = {};
  std::memcpy(name, info.szDbaseName, sizeof info.szDbaseName);
  return Utf16ToUtf8(name);
}

// The database's record count; wNumRecords stops at 0xFFFF, past which the
// index of the last record gives the true count.
uint64_t RecordCount(CEOID oid, const CEDBASEINFO& info) {
  if (info.wNumRecords < 0xFFFF) return info.wNumRecords;
  CEOID open_oid = oid;
  ScopedHandle db(CeOpenDatabase(&open_oid, nullptr, 0, 0, 0));
  DWORD index = 0;
  if (!db.valid() || CeSeekDatabase(db.get(), CEDB_SEEK_END, 0, &index) == 0) {
    return info.wNumRecords;
  }
  return uint64_t{index} + 1;
}

Result<CEOID> ResolveRecord(CEOID db, const std::string& db_text, const std::string& oid_text) {
  Result<uint32_t> oid = ParseU32(oid_text);
  if (!oid.ok()) return Result<CEOID>::Fail("record identifier " + oid.error());
  CEOIDINFO info{};
  if (oid.value() == 0 || !CeOidGetInfo(oid.value(), &info) ||
      info.wObjType != OBJTYPE_RECORD || info.infRecord.oidParent != db) {
    return Result<CEOID>::Fail("no record " + oid_text + " in database " + db_text);
  }
  return Result<CEOID>::Ok(oid.value());
}

ScopedHandle OpenForWriting(CEOID db) {
  CEOID oid = db;
  return ScopedHandle(CeOpenDatabase(&oid, nullptr, 0, 0, 0));
}

// Reads every record of `db` in read order and hands each to `visit` with
// its identifier and properties. False (last error set) when a read fails.
template <typename Visit>
bool ForEachRecord(CEOID db, Visit visit) {
  CEOID oid = db;
  ScopedHandle handle(CeOpenDatabase(&oid, nullptr, 0, CEDB_AUTOINCREMENT, 0));
  if (!handle.valid()) return false;
  if (CeSeekDatabase(handle.get(), CEDB_SEEK_BEGINNING, 0, nullptr) == 0) {
    return GetLastError() == ERROR_NO_MORE_ITEMS;  // empty
  }
  for (;;) {
    WORD count = 0;
    LPBYTE buffer = nullptr;
    DWORD size = 0;
    CEOID record = CeReadRecordProps(handle.get(), CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size);
    if (record == 0) {
      const DWORD error = GetLastError();
      if (buffer != nullptr) LocalFree(buffer);
      SetLastError(error);
      return error == ERROR_NO_MORE_ITEMS;
    }
    std::vector<Property> properties;
    const auto* values = reinterpret_cast<const CEPROPVAL*>(buffer);
    for (WORD i = 0; i < count; ++i) properties.push_back(PropertyFromCe(values[i]));
    LocalFree(buffer);
    visit(record, properties);
  }
}

// What taking back the records of a failed import achieved.
struct TakeBack {
  std::vector<CEOID> left;  // still in the database, in the order written
  DWORD error = ERROR_SUCCESS;  // the first delete's failure
};

// The store has no transaction: deletes the records `written` again. A
// record whose delete fails counts as left behind only while it is still
// there (another process may have deleted it meanwhile).
TakeBack TakeBackRecords(HANDLE handle, CEOID db, const std::vector<CEOID>& written) {
  TakeBack back;
  for (CEOID oid : written) {
    if (CeDeleteRecord(handle, oid)) continue;
    const DWORD error = GetLastError();
    CEOIDINFO info{};
    if (!CeOidGetInfo(oid, &info) || info.wObjType != OBJTYPE_RECORD || info.infRecord.oidParent != db) continue;
    if (back.left.empty()) back.error = error;
    back.left.push_back(oid);
  }
  return back;
}

// "3 of the 5 records written are left in DB (taking them back failed: ...):
// 101 102 103"; at most kListed identifiers, then how many more.
std::string DescribeLeftBehind(const TakeBack& back, size_t written, const std::string& db) {
  constexpr size_t kListed = 20;
  std::string text = std::to_string(back.left.size()) + " of the " + std::to_string(written) +
                     " records written " + (back.left.size() == 1 ? "is" : "are") + " left in " + db +
                     " (taking them back failed: " + DescribeError(back.error) + "):";
  for (size_t i = 0; i < back.left.size() && i < kListed; ++i) text += " " + std::to_string(back.left[i]);
  if (back.left.size() > kListed) text += " and " + std::to_string(back.left.size() - kListed) + " more";
  return text;
}

}  // namespace

Result<CEOID> ResolveDatabase(const std::string& db) {
  if (!db.empty() && db.front() == '@') {
    Result<uint32_t> oid = ParseU32(std::string_view(db).substr(1));
    if (!oid.ok()) return Result<CEOID>::Fail("database identifier " + oid.error());
    CEOIDINFO info{};
    if (oid.value() == 0 || !CeOidGetInfo(oid.value(), &info) || info.wObjType != OBJTYPE_DATABASE) {
      return Result<CEOID>::Fail("no database with identifier " + db.substr(1));
    }
    return Result<CEOID>::Ok(oid.value());
  }
  Result<std::u16string> name = Utf8ToUtf16(db);
  if (!name.ok()) return Result<CEOID>::Fail("database name: " + name.error());
  CEOID oid = 0;
  ScopedHandle handle(CeOpenDatabase(&oid, name.value().c_str(), 0, 0, 0));
  if (!handle.valid() || oid == 0) return Result<CEOID>::Fail("no database named \"" + db + "\"");
  return Result<CEOID>::Ok(oid);
}

int CreateDatabaseCommand(Io& io, const std::string& name, const std::string& type) {
  Result<uint32_t> db_type = ParseU32(type);
  if (!db_type.ok()) return Problem(io, kExitBadInput, "database type " + db_type.error());
  Result<std::u16string> wide = Utf8ToUtf16(name);
  if (!wide.ok()) return Problem(io, kExitBadInput, "database name: " + wide.error());
  if (wide.value().empty() || wide.value().size() >= CEDB_MAXDBASENAMELEN ||
      wide.value().find(u'\0') != std::u16string::npos) {
    return Problem(io, kExitBadInput,
                   "database name \"" + name + "\": 1 to " +
                       std::to_string(CEDB_MAXDBASENAMELEN - 1) + " characters");
  }
  CEOID oid = CeCreateDatabase(wide.value().c_str(), db_type.value(), 0, nullptr);
  if (oid == 0) {
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
      return Problem(io, kExitBadInput, "a database named \"" + name + "\" exists already");
    }
    return Problem(io, kExitFailed, "cannot create database \"" + name + "\": " + DescribeError(error));
  }
  io.out << oid << "\n";
  return kExitOk;
}

int ListDatabasesCommand(Io& io, const std::optional<std::string>& type, bool json) {
  uint32_t db_type = 0;
  if (type) {
    Result<uint32_t> parsed = ParseU32(*type);
    if (!parsed.ok()) return Problem(io, kExitBadInput, "database type " + parsed.error());
    db_type = parsed.value();
  }
  ScopedHandle enumeration(CeFindFirstDatabase(db_type));
  if (!enumeration.valid()) {
    return Problem(io, kExitFailed, "cannot list databases: " + DescribeError(GetLastError()));
  }
  nlohmann::json list = nlohmann::json::array();
  std::ostringstream text;
  for (CEOID oid = CeFindNextDatabase(enumeration.get()); oid != 0;
       oid = CeFindNextDatabase(enumeration.get())) {
    CEOIDINFO info{};
    if (!CeOidGetInfo(oid, &info) || info.wObjType != OBJTYPE_DATABASE) continue;  // gone meanwhile
    const std::string name = DatabaseName(info.infDatabase);
    const uint64_t records = RecordCount(oid, info.infDatabase);
    list.push_back({{"oid", oid}, {"name", name}, {"type", info.infDatabase.dwDbaseType},
                    {"records", records}});
    text << oid << " " << info.infDatabase.dwDbaseType << " " << records << " " << name << "\n";
  }
  io.out << (json ? list.dump() + "\n" : text.str());
  return kExitOk;
}

int DeleteDatabaseCommand(Io& io, const std::string& db) {
  Result<CEOID> oid = ResolveDatabase(db);
  if (!oid.ok()) return Problem(io, kExitBadInput, oid.error());
  if (!CeDeleteDatabase(oid.value())) {
    return Problem(io, kExitFailed, "cannot delete database " + db + ": " + DescribeError(GetLastError()));
  }
  return kExitOk;
}

int AddRecordCommand(Io& io, const std::string& db, const std::vector<std::string>& props) {
  Result<CEOID> db_oid = ResolveDatabase(db);
  if (!db_oid.ok()) return Problem(io, kExitBadInput, db_oid.error());
  Result<std::vector<Property>> properties = ParsePropertyArguments(props);
  if (!properties.ok()) return Problem(io, kExitBadInput, properties.error());
  ScopedHandle handle = OpenForWriting(db_oid.value());
  if (!handle.valid()) return Problem(io, kExitFailed, "cannot open " + db + ": " + DescribeError(GetLastError()));
  PropertyBlock block(std::move(properties.value()));
  CEOID record = CeWriteRecordProps(handle.get(), 0, block.count(), block.data());
  if (record == 0) return Problem(io, kExitFailed, "cannot add the record: " + DescribeError(GetLastError()));
  io.out << record << "\n";
  return kExitOk;
}

int SetRecordCommand(Io& io, const std::string& db, const std::string& oid,
                     const std::vector<std::string>& props) {
  Result<CEOID> db_oid = ResolveDatabase(db);
  if (!db_oid.ok()) return Problem(io, kExitBadInput, db_oid.error());
  Result<CEOID> record = ResolveRecord(db_oid.value(), db, oid);
  if (!record.ok()) return Problem(io, kExitBadInput, record.error());
  if (props.empty()) return Problem(io, kExitBadInput, "no properties to set");
  Result<std::vector<Property>> properties = ParsePropertyArguments(props);
  if (!properties.ok()) return Problem(io, kExitBadInput, properties.error());
  ScopedHandle handle = OpenForWriting(db_oid.value());
  if (!handle.valid()) return Problem(io, kExitFailed, "cannot open " + db + ": " + DescribeError(GetLastError()));
  PropertyBlock block(std::move(properties.value()));
  if (CeWriteRecordProps(handle.get(), record.value(), block.count(), block.data()) == 0) {
    return Problem(io, kExitFailed, "cannot write record " + oid + ": " + DescribeError(GetLastError()));
  }
  return kExitOk;
}

int DeleteRecordCommand(Io& io, const std::string& db, const std::string& oid) {
  Result<CEOID> db_oid = ResolveDatabase(db);
  if (!db_oid.ok()) return Problem(io, kExitBadInput, db_oid.error());
  Result<CEOID> record = ResolveRecord(db_oid.value(), db, oid);
  if (!record.ok()) return Problem(io, kExitBadInput, record.error());
  ScopedHandle handle = OpenForWriting(db_oid.value());
  if (!handle.valid()) return Problem(io, kExitFailed, "cannot open " + db + ": " + DescribeError(GetLastError()));
  if (!CeDeleteRecord(handle.get(), record.value())) {
    return Problem(io, kExitFailed, "cannot delete record " + oid + ": " + DescribeError(GetLastError()));
  }
  return kExitOk;
}

int ListRecordsCommand(Io& io, const std::string& db, bool json) {
  Result<CEOID> db_oid = ResolveDatabase(db);
  if (!db_oid.ok()) return Problem(io, kExitBadInput, db_oid.error());
  nlohmann::json list = nlohmann::json::array();
  std::ostringstream text;
  bool read_all = ForEachRecord(db_oid.value(), [&](CEOID record, const std::vector<Property>& properties) {
    nlohmann::json props = nlohmann::json::array();
    text << record;
    for (const Property& property : properties) {
      props.push_back(PropertyToJson(property));
      char id[16];
      std::snprintf(id, sizeof id, "0x%08X", property.id);
      text << " " << id << "=" << FormatPropertyValue(property);
    }
    text << "\n";
    list.push_back({{"oid", record}, {"props", std::move(props)}});
  });
  if (!read_all) return Problem(io, kExitFailed, "cannot read " + db + ": " + DescribeError(GetLastError()));
  io.out << (json ? list.dump() + "\n" : text.str());
  return kExitOk;
}

int ImportRecordsCommand(Io& io, const std::string& db) {
  Result<CEOID> db_oid = ResolveDatabase(db);
  if (!db_oid.ok()) return Problem(io, kExitBadInput, db_oid.error());

  // Every record is checked before the first write. The input is one record
  // a line, or one JSON array of them (what rec list --json prints).
  std::vector<std::vector<Property>> records;
  std::string line;
  for (size_t number = 1; std::getline(io.in, line); ++number) {
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    if (records.empty() && line[first] == '[') {
      std::string rest((std::istreambuf_iterator<char>(io.in)), std::istreambuf_iterator<char>());
      nlohmann::json array = nlohmann::json::parse(line + "\n" + rest, nullptr, /*allow_exceptions=*/false);
      if (!array.is_array()) return Problem(io, kExitBadInput, "not a JSON array of records; nothing imported");
      for (size_t i = 0; i < array.size(); ++i) {
        Result<std::vector<Property>> properties = ParseImportRecord(array[i]);
        if (!properties.ok()) {
          return Problem(io, kExitBadInput, "record " + std::to_string(i + 1) + ": " + properties.error() +
                                                "; nothing imported");
        }
        records.push_back(std::move(properties.value()));
      }
      break;
    }
    Result<std::vector<Property>> properties = ParseImportLine(line);
    if (!properties.ok()) {
      return Problem(io, kExitBadInput, "line " + std::to_string(number) + ": " + properties.error() +
                                            "; nothing imported");
    }
    records.push_back(std::move(properties.value()));
  }

  ScopedHandle handle = OpenForWriting(db_oid.value());
  if (!handle.valid()) return Problem(io, kExitFailed, "cannot open " + db + ": " + DescribeError(GetLastError()));
  std::vector<CEOID> written;
  written.reserve(records.size());
  for (std::vector<Property>& properties : records) {
    PropertyBlock block(std::move(properties));
    CEOID record = CeWriteRecordProps(handle.get(), 0, block.count(), block.data());
    if (record == 0) {
      const DWORD error = GetLastError();
      const std::string failed = "record " + std::to_string(written.size() + 1) + " of " +
                                 std::to_string(records.size()) + " failed (" + DescribeError(error) + ")";
      const TakeBack back = TakeBackRecords(handle.get(), db_oid.value(), written);
      if (back.left.empty()) return Problem(io, kExitFailed, failed + "; nothing imported");
      return Problem(io, kExitFailed, failed + "; " + DescribeLeftBehind(back, written.size(), db));
    }
    written.push_back(record);
  }
  io.out << written.size() << "\n";
  return kExitOk;
}

}  // namespace hmdevice
