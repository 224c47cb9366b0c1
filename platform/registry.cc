// The registry over the device's SQLite file: a table of keys (parent, name)
// and one of values (key, name, type, data), names compared without regard
// to ASCII case. The three roots are the fixed keys 1 to 3. Key handles are
// kernel handles of this process naming a key row.
#include "platform/registry.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/handle_table.h"
#include "platform/store_db.h"

namespace {

using platform::store::Connection;
using platform::store::Query;
using platform::store::Transaction;

constexpr size_t kMaxNameChars = 255;

class KeyHandle : public platform::HandleObject {
 public:
  explicit KeyHandle(int64_t id) : id_(id) {}
  const int64_t id_;
};

LONG ToLong(DWORD error) { return static_cast<LONG>(error); }

// The key row a handle names; 0 when the handle is not an open key.
int64_t KeyId(HKEY key) {
  switch (key) {
    case HKEY_CLASSES_ROOT:
      return 1;
    case HKEY_CURRENT_USER:
      return 2;
    case HKEY_LOCAL_MACHINE:
      return 3;
    default: {
      auto handle = platform::FindHandle<KeyHandle>(key);
      return handle == nullptr ? 0 : handle->id_;
    }
  }
}

// A name as stored: UTF-8; false for an ill-formed or over-long name.
bool StoredName(LPCWSTR name, std::string* out) {
  if (name == nullptr) {
    out->clear();
    return true;
  }
  size_t n = std::char_traits<char16_t>::length(name);
  if (n > kMaxNameChars) return false;
  return platform::store::ToUtf8(std::u16string_view(name, n), out);
}

// Splits "a\b\c" into its components; empty components are skipped.
bool SplitPath(LPCWSTR path, std::vector<std::string>* parts) {
  parts->clear();
  if (path == nullptr) return true;
  std::u16string_view rest(path);
  while (!rest.empty()) {
    size_t cut = rest.find(u'\\');
    std::u16string_view part = rest.substr(0, cut);
    rest = cut == std::u16string_view::npos ? std::u16string_view() : rest.substr(cut + 1);
    if (part.empty()) continue;
    if (part.size() > kMaxNameChars) return false;
    std::string utf8;
    if (!platform::store::ToUtf8(part, &utf8)) return false;
    parts->push_back(std::move(utf8));
  }
  return true;
}

DWORD FindChild(Connection* conn, int64_t parent, const std::string& name, int64_t* child) {
  static const char kSql[] = "SELECT id FROM reg_keys WHERE parent = ? AND name = ?";
  Query q(conn, kSql);
  q.Bind(1, parent).Bind(2, name);
  if (!q.Step()) return q.error() != ERROR_SUCCESS ? q.error() : ERROR_FILE_NOT_FOUND;
  *child = q.Int(0);
  return ERROR_SUCCESS;
}

LONG IssueKey(int64_t id, HKEY* result) {
  HANDLE h = platform::IssueHandle(std::make_shared<KeyHandle>(id));
  if (h == 0) return ToLong(ERROR_NOT_ENOUGH_MEMORY);
  *result = h;
  return ERROR_SUCCESS;
}

// Copies a value out the way RegQueryValueExW and RegEnumValueW do.
LONG CopyValue(const Query& q, int type_column, LPDWORD type, LPBYTE data, LPDWORD data_size) {
  DWORD size = static_cast<DWORD>(q.Size(type_column + 1));
  if (type != nullptr) *type = static_cast<DWORD>(q.Int(type_column));
  if (data == nullptr) {
    if (data_size != nullptr) *data_size = size;
    return ERROR_SUCCESS;
  }
  if (data_size == nullptr) return ToLong(ERROR_INVALID_PARAMETER);
  if (*data_size < size) {
    *data_size = size;
    return ToLong(ERROR_MORE_DATA);
  }
  if (size > 0) std::memcpy(data, q.Blob(type_column + 1), size);
  *data_size = size;
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD, REGSAM, HKEY* result) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kRegOpenKeyExW, &error)) {
    return ToLong(error);
  }
  if (result == nullptr) return ToLong(ERROR_INVALID_PARAMETER);
  int64_t id = KeyId(key);
  if (id == 0) return ToLong(ERROR_INVALID_HANDLE);
  std::vector<std::string> parts;
  if (!SplitPath(sub_key, &parts)) return ToLong(ERROR_INVALID_PARAMETER);
  Transaction txn(Transaction::kRead);
  if (txn.error() != ERROR_SUCCESS) return ToLong(txn.error());
  for (const std::string& part : parts) {
    error = FindChild(txn.conn(), id, part, &id);
    if (error != ERROR_SUCCESS) return ToLong(error);
  }
  return IssueKey(id, result);
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD, LPWSTR, DWORD, REGSAM,
                     SECURITY_ATTRIBUTES*, HKEY* result, LPDWORD disposition) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kRegCreateKeyExW, &error)) {
    return ToLong(error);
  }
  if (result == nullptr) return ToLong(ERROR_INVALID_PARAMETER);
  int64_t id = KeyId(key);
  if (id == 0) return ToLong(ERROR_INVALID_HANDLE);
  std::vector<std::string> parts;
  if (!SplitPath(sub_key, &parts)) return ToLong(ERROR_INVALID_PARAMETER);
  {
    // A key that exists is opened with a read, which never waits for
    // another writer.
    Transaction read(Transaction::kRead);
    if (read.error() != ERROR_SUCCESS) return ToLong(read.error());
    int64_t found = id;
    error = ERROR_SUCCESS;
    for (const std::string& part : parts) {
      error = FindChild(read.conn(), found, part, &found);
      if (error != ERROR_SUCCESS) break;
    }
    if (error == ERROR_SUCCESS) {
      if (disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
      return IssueKey(found, result);
    }
    if (error != ERROR_FILE_NOT_FOUND) return ToLong(error);
  }
  Transaction txn(Transaction::kWrite);
  if (txn.error() != ERROR_SUCCESS) return ToLong(txn.error());
  bool created = false;
  for (const std::string& part : parts) {
    error = FindChild(txn.conn(), id, part, &id);
    if (error == ERROR_FILE_NOT_FOUND) {
      static const char kInsert[] = "INSERT INTO reg_keys(parent, name) VALUES(?, ?)";
      error = Query(txn.conn(), kInsert).Bind(1, id).Bind(2, part).Run();
      if (error != ERROR_SUCCESS) return ToLong(error);
      id = sqlite3_last_insert_rowid(txn.conn()->db());
      created = true;
    } else if (error != ERROR_SUCCESS) {
      return ToLong(error);
    }
  }
  error = txn.Commit();
  if (error != ERROR_SUCCESS) return ToLong(error);
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return IssueKey(id, result);
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) {
    return ERROR_SUCCESS;
  }
  if (platform::FindHandle<KeyHandle>(key) == nullptr) return ToLong(ERROR_INVALID_HANDLE);
  platform::RemoveHandle(key);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD, LPDWORD type, LPBYTE data,
                      LPDWORD data_size) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kRegQueryValueExW, &error)) {
    return ToLong(error);
  }
  int64_t id = KeyId(key);
  if (id == 0) return ToLong(ERROR_INVALID_HANDLE);
  std::string name;
  if (!StoredName(value_name, &name)) return ToLong(ERROR_INVALID_PARAMETER);
  if (data != nullptr && data_size == nullptr) return ToLong(ERROR_INVALID_PARAMETER);
  DWORD ignored = 0;
  Connection* conn = platform::store::ThreadConnection(&ignored);
  if (conn == nullptr) return ToLong(ignored);
  static const char kSql[] = "SELECT type, data FROM reg_values WHERE key = ? AND name = ?";
  Query q(conn, kSql);
  q.Bind(1, id).Bind(2, name);
  if (!q.Step()) return ToLong(q.error() != ERROR_SUCCESS ? q.error() : ERROR_FILE_NOT_FOUND);
  return CopyValue(q, 0, type, data, data_size);
}

LONG RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD, DWORD type, const BYTE* data,
                    DWORD data_size) {
  DWORD error = ERROR_SUCCESS;
  if (platform::fault::ShouldFail(platform::fault::Call::kRegSetValueExW, &error)) {
    return ToLong(error);
  }
  int64_t id = KeyId(key);
  if (id == 0) return ToLong(ERROR_INVALID_HANDLE);
  std::string name;
  if (!StoredName(value_name, &name)) return ToLong(ERROR_INVALID_PARAMETER);
  if (data == nullptr && data_size != 0) return ToLong(ERROR_INVALID_PARAMETER);
  // A REG_DWORD of another size could never be read back as one.
  if (type == REG_DWORD && data_size != sizeof(DWORD)) return ToLong(ERROR_INVALID_PARAMETER);
  DWORD ignored = 0;
  Connection* conn = platform::store::ThreadConnection(&ignored);
  if (conn == nullptr) return ToLong(ignored);
  static const char kSql[] =
      "INSERT INTO reg_values(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
      "ON CONFLICT(key, name) DO UPDATE SET type = ?3, data = ?4";
  Query q(conn, kSql);
  q.Bind(1, id).Bind(2, name).Bind(3, type).BindBlob(4, data, data_size);
  return ToLong(q.Run());
}

LONG RegDeleteValueW(HKEY key, LPCWSTR value_name) {
  int64_t id = KeyId(key);
  if (id == 0) return ToLong(ERROR_INVALID_HANDLE);
  std::string name;
  if (!StoredName(value_name, &name)) return ToLong(ERROR_INVALID_PARAMETER);
  DWORD ignored = 0;
  Connection* conn = platform::store::ThreadConnection(&ignored);
  if (conn == nullptr) return ToLong(ignored);
  static const char kSql[] = "DELETE FROM reg_values WHERE key = ? AND name = ?";
  DWORD error = Query(conn, kSql).Bind(1, id).Bind(2, name).Run();
  if (error != ERROR_SUCCESS) return ToLong(error);
  return sqlite3_changes(conn->db()) == 0 ? ToLong(ERROR_FILE_NOT_FOUND) : ERROR_SUCCESS;
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_chars, LPDWORD,
                   LPDWORD type, LPBYTE data, LPDWORD data_size) {
  int64_t id = KeyId(key);
  if (id == 0) return ToLong(ERROR_INVALID_HANDLE);
  if (name == nullptr || name_chars == nullptr) return ToLong(ERROR_INVALID_PARAMETER);
  if (data != nullptr && data_size == nullptr) return ToLong(ERROR_INVALID_PARAMETER);
  DWORD ignored = 0;
  Connection* conn = platform::store::ThreadConnection(&ignored);
  if (conn == nullptr) return ToLong(ignored);
  static const char kSql[] =
      "SELECT name, type, data FROM reg_values WHERE key = ? ORDER BY name LIMIT 1 OFFSET ?";
  Query q(conn, kSql);
  q.Bind(1, id).Bind(2, static_cast<int64_t>(index));
  if (!q.Step()) return ToLong(q.error() != ERROR_SUCCESS ? q.error() : ERROR_NO_MORE_ITEMS);
  std::u16string value_name = platform::store::FromUtf8(q.Text(0));
  if (*name_chars <= value_name.size()) {
    *name_chars = static_cast<DWORD>(value_name.size() + 1);
    return ToLong(ERROR_MORE_DATA);
  }
  LONG result = CopyValue(q, 1, type, data, data_size);
  if (result != ERROR_SUCCESS) return result;
  std::copy(value_name.begin(), value_name.end(), name);
  name[value_name.size()] = u'\0';
  *name_chars = static_cast<DWORD>(value_name.size());
  return ERROR_SUCCESS;
}
