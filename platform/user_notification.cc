#include "platform/user_notification.h"

#include <cstring>
#include <string_view>

#include "platform/civil_time.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "platform/store_db.h"

namespace {

using platform::store::Query;
using platform::store::Transaction;

// AUTOINCREMENT keeps every handle ever given out from coming back, also
// after the newest notification was cleared.
constexpr char kCreate[] =
    "CREATE TABLE IF NOT EXISTS user_notifications("
    "handle INTEGER PRIMARY KEY AUTOINCREMENT, application BLOB NOT NULL, time BLOB NOT NULL, "
    "flags INTEGER NOT NULL, title BLOB NOT NULL, text BLOB NOT NULL, sound BLOB NOT NULL, "
    "max_sound INTEGER NOT NULL)";
constexpr char kInsert[] =
    "INSERT INTO user_notifications(application, time, flags, title, text, sound, max_sound) "
    "VALUES(?, ?, ?, ?, ?, ?, ?)";
constexpr char kUpdate[] =
    "UPDATE user_notifications SET application = ?, time = ?, flags = ?, title = ?, text = ?, "
    "sound = ?, max_sound = ? WHERE handle = ?";
constexpr char kDelete[] = "DELETE FROM user_notifications WHERE handle = ?";
constexpr char kList[] =
    "SELECT handle, application, time, flags, title, text, sound, max_sound "
    "FROM user_notifications ORDER BY handle";

// The largest handle a 32-bit HANDLE can carry that is not
// INVALID_HANDLE_VALUE.
constexpr int64_t kMaxHandle = 0xFFFFFFFE;

bool ValidTime(const SYSTEMTIME& t) {
  return t.wYear >= 1601 && t.wYear <= 30827 && t.wMonth >= 1 && t.wMonth <= 12 &&
         t.wDay >= 1 && t.wDay <= platform::DaysInMonth(t.wYear, t.wMonth) && t.wHour < 24 &&
         t.wMinute < 60 && t.wSecond < 60 && t.wMilliseconds < 1000;
}

// Strings are kept as their UTF-16 units, so any string the caller passes
// (even one with a lone surrogate) comes back unchanged.
std::u16string_view View(LPCWSTR s) {
  return s == nullptr ? std::u16string_view() : std::u16string_view(s);
}

void BindString(Query& q, int index, std::u16string_view s) {
  q.BindBlob(index, s.empty() ? u"" : s.data(), s.size() * sizeof(char16_t));
}

std::u16string ColumnString(const Query& q, int column) {
  std::u16string s(q.Size(column) / sizeof(char16_t), u'\0');
  if (!s.empty()) std::memcpy(s.data(), q.Blob(column), s.size() * sizeof(char16_t));
  return s;
}

DWORD EnsureTable(Transaction& tx) { return Query(tx.conn(), kCreate).Run(); }

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

HANDLE CeSetUserNotification(HANDLE notification, LPCWSTR application, const SYSTEMTIME* time,
                             const CE_USER_NOTIFICATION* user_notification) {
  DWORD error;
  if (platform::fault::ShouldFail(platform::fault::Call::kCeSetUserNotification, &error)) {
    return FailHandle(error);
  }
  if (application == nullptr || time == nullptr || user_notification == nullptr ||
      !ValidTime(*time)) {
    return FailHandle(ERROR_INVALID_PARAMETER);
  }
  Transaction tx(Transaction::kWrite);
  if (tx.error() != ERROR_SUCCESS) return FailHandle(tx.error());
  if ((error = EnsureTable(tx)) != ERROR_SUCCESS) return FailHandle(error);

  Query q(tx.conn(), notification == 0 ? kInsert : kUpdate);
  BindString(q, 1, View(application));
  q.BindBlob(2, time, sizeof(*time));
  q.Bind(3, static_cast<int64_t>(user_notification->ActionFlags));
  BindString(q, 4, View(user_notification->pwszDialogTitle));
  BindString(q, 5, View(user_notification->pwszDialogText));
  BindString(q, 6, View(user_notification->pwszSound));
  q.Bind(7, static_cast<int64_t>(user_notification->nMaxSound));
  if (notification != 0) q.Bind(8, static_cast<int64_t>(notification));
  if ((error = q.Run()) != ERROR_SUCCESS) return FailHandle(error);

  sqlite3* db = tx.conn()->db();
  HANDLE handle = notification;
  if (notification == 0) {
    const int64_t row = sqlite3_last_insert_rowid(db);
    // Rolled back with the transaction: the handle would not fit.
    if (row < 1 || row > kMaxHandle) return FailHandle(ERROR_NOT_ENOUGH_MEMORY);
    handle = static_cast<HANDLE>(row);
  } else if (sqlite3_changes(db) == 0) {
    return FailHandle(ERROR_INVALID_HANDLE);
  }
  if ((error = tx.Commit(/*signal=*/false)) != ERROR_SUCCESS) return FailHandle(error);
  return handle;
}

BOOL CeClearUserNotification(HANDLE notification) {
  Transaction tx(Transaction::kWrite);
  DWORD error = tx.error();
  if (error == ERROR_SUCCESS) error = EnsureTable(tx);
  if (error == ERROR_SUCCESS) error = Query(tx.conn(), kDelete).Bind(1, notification).Run();
  if (error == ERROR_SUCCESS && sqlite3_changes(tx.conn()->db()) == 0) {
    error = ERROR_INVALID_HANDLE;
  }
  if (error == ERROR_SUCCESS) error = tx.Commit(/*signal=*/false);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

namespace platform {

Status ListUserNotifications(std::vector<UserNotificationRecord>* out) {
  out->clear();
  Transaction tx(Transaction::kWrite);
  DWORD error = tx.error();
  if (error == ERROR_SUCCESS) error = EnsureTable(tx);
  if (error != ERROR_SUCCESS) {
    return Status::Error("cannot read the user notifications: error " + std::to_string(error) +
                         " " + store::LastErrorDetail());
  }
  Query q(tx.conn(), kList);
  while (q.Step()) {
    UserNotificationRecord r;
    r.handle = static_cast<HANDLE>(q.Int(0));
    r.application = ColumnString(q, 1);
    if (q.Size(2) == sizeof(r.time)) std::memcpy(&r.time, q.Blob(2), sizeof(r.time));
    r.flags = static_cast<DWORD>(q.Int(3));
    r.title = ColumnString(q, 4);
    r.text = ColumnString(q, 5);
    r.sound = ColumnString(q, 6);
    r.max_sound = static_cast<DWORD>(q.Int(7));
    out->push_back(std::move(r));
  }
  if (q.error() != ERROR_SUCCESS) {
    out->clear();
    return Status::Error("cannot read the user notifications: error " +
                         std::to_string(q.error()) + " " + store::LastErrorDetail());
  }
  tx.Commit(/*signal=*/false);
  return Status::Ok();
}

}  // namespace platform
