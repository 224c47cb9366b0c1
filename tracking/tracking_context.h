// The process-wide objects that change tracking works on, gathered so that
// the operations reach them explicitly instead of through hidden globals.
//
// The program owns one of each (constructed in a fixed order at start-up,
// destroyed in the reverse order at exit) and hands a TrackingContext to the
// window thread's handlers and to the sync server. Tests build their own.
//
// Threads: the window thread and the sync server's worker both use these
// objects; every access happens under the one process-wide lock that the
// server defines (see server/system_lock.h), except the capture flags, which
// are atomic words and may be read or written without it.
#ifndef HOLLOWMARCH_TRACKING_TRACKING_CONTEXT_H_
#define HOLLOWMARCH_TRACKING_TRACKING_CONTEXT_H_

#include <atomic>
#include <cstdint>

#include "platform/types.h"

class TrackedDbList;
class MailFolderDbList;
class MessageUidMap;
class SyncStateCache;
struct LastLoggedChange;
struct CaptureHold;

// The oids of the mail store's two named databases, set once by mail set-up
// (0 when the database was not found then).
struct MailStoreOids {
  CEOID oidMailMsgs = 0;
  CEOID oidMailFolders = 0;
};

// fCaptureSuppressed: while non-zero, object-store notifications are dropped
// instead of becoming change entries. fCaptureLocked: while non-zero, the
// peer's suspend command does not set fCaptureSuppressed. Both 0 at start.
struct CaptureFlags {
  std::atomic<uint32_t> fCaptureSuppressed{0};
  std::atomic<uint32_t> fCaptureLocked{0};
};

struct TrackingContext {
  TrackedDbList* trackedDbs = nullptr;
  MailFolderDbList* mailFolders = nullptr;
  MessageUidMap* messageUids = nullptr;
  SyncStateCache* syncStates = nullptr;
  MailStoreOids* mail = nullptr;
  LastLoggedChange* lastLogged = nullptr;
  CaptureHold* hold = nullptr;
  CaptureFlags* capture = nullptr;
  // Notification target of every tracked database and mail folder database.
  HWND hwndMain = 0;
};

#endif  // HOLLOWMARCH_TRACKING_TRACKING_CONTEXT_H_
