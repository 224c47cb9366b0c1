#include "platform/notification_journal.h"

#include <string>

#include "platform/db_notifier.h"
#include "platform/kernel.h"
#include "platform/store_db.h"
#include "platform/window_table.h"

namespace {

constexpr size_t kMaxJournalNameChars = 63;

BOOL Result(DWORD error) {
  if (error == ERROR_SUCCESS) return TRUE;
  SetLastError(error);
  return FALSE;
}

}  // namespace

BOOL CeOpenNotificationJournal(LPCWSTR name, BOOL* pfTakenOver) {
  if (pfTakenOver != nullptr) *pfTakenOver = FALSE;
  std::string utf8;
  if (name == nullptr || name[0] == 0 ||
      std::char_traits<char16_t>::length(name) > kMaxJournalNameChars ||
      !platform::store::ToUtf8(name, &utf8)) {
    return Result(ERROR_INVALID_PARAMETER);
  }
  bool taken_over = false;
  DWORD error = platform::ClaimJournal(utf8, &taken_over);
  if (error == ERROR_SUCCESS && pfTakenOver != nullptr) *pfTakenOver = taken_over ? TRUE : FALSE;
  return Result(error);
}

BOOL CeFlushNotifications() { return Result(platform::FlushDelivery()); }

BOOL CeAcknowledgeNotification() {
  return Result(platform::AcknowledgeDelivered(platform::window_internal::CurrentJournalSequence()));
}

BOOL CeCloseNotificationJournal() { return Result(platform::CloseJournal()); }

BOOL CeReleaseNotificationJournal() { return Result(platform::ReleaseJournal()); }

BOOL CeGetNotificationBacklog(LPCWSTR name, LPDWORD pcPending) {
  std::string utf8;
  if (name == nullptr || pcPending == nullptr || !platform::store::ToUtf8(name, &utf8)) {
    return Result(ERROR_INVALID_PARAMETER);
  }
  int64_t pending = 0;
  DWORD error = platform::JournalBacklog(utf8, &pending);
  if (error == ERROR_SUCCESS) *pcPending = static_cast<DWORD>(pending);
  return Result(error);
}

BOOL CeJournalWasWatching(CEOID oidDb, BOOL* pfWatched) {
  if (pfWatched == nullptr) return Result(ERROR_INVALID_PARAMETER);
  bool watched = false;
  DWORD error = platform::JournalInherited(oidDb, &watched);
  if (error == ERROR_SUCCESS) *pfWatched = watched ? TRUE : FALSE;
  return Result(error);
}
