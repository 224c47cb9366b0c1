// Mail tracking (data class 5454). Mail lives in databases known by name:
// "pmailMsgs" holds the messages, "pmailFolders" has one record per folder
// naming the folder's own database, and each folder database has one record
// per message filed there, tying the message's oid in pmailMsgs to its MAPI
// uid.
//
// MailFolderDbList holds the folder databases opened with the hidden window
// as notification target, so changes to a folder's records reach capture.
// MessageUidMap remembers each message's uid by its oid in pmailMsgs, so a
// change still gets a uid after its folder record is gone; it is rebuilt at
// set-up and at the peer's flush command.
//
// Both lists keep the same shape: zero-filled heap nodes, newest at the head,
// one shared cursor per list (every walk moves it, so one walk at a time).
// Removing a node moves the cursor to the node before it (or empties it for
// the head), so a walk that removes its current node steps on to the one
// that followed.
//
// Threads: set-up (tracking/mail_tracking.h), the folder operations and
// capture run on the window thread; the rebuild also runs on the server's
// worker. Nothing here locks: both lists are members of the tracking state
// (tracking/tracking_state.h), guarded by its lock, which every operation
// but the destructors is called with (the destructors run when no other
// thread is left).
#ifndef HOLLOWMARCH_TRACKING_MAIL_STORE_H_
#define HOLLOWMARCH_TRACKING_MAIL_STORE_H_

#include <functional>

#include "platform/object_store.h"
#include "platform/types.h"
#include "settings/data_classes.h"  // kMailDataClass
#include "tracking/change_log.h"  // kNoUid
#include "tracking/tracking_lock.h"

class ReadOnlyDb;

// The mail store's database names.
inline constexpr WCHAR kMailMsgsDbName[] = u"pmailMsgs";
inline constexpr WCHAR kMailFoldersDbName[] = u"pmailFolders";

// Property ids of the mail store.
constexpr CEPROPID PROPID_FOLDER_DBNAME = 0x8003001F;  // pmailFolders, LPWSTR
constexpr CEPROPID PROPID_MSG_OID = 0x80050013;        // folder record, UI4
constexpr CEPROPID PROPID_MAPI_UID = 0x80110013;       // folder record, UI4

// True when `name` converts to the ANSI code page (CP_ACP, no flags,
// NUL-terminated): only such folder names are used. False for null.
bool FolderNameConverts(LPCWSTR name);

// One folder database under notification; the list owns the node and hDb.
struct MailFolderDb {
  DWORD dwClass;          // always 5454
  HANDLE hDb;             // opened with the hidden window as notify target
  CEOID oidDb;            // the folder database; the key (unique in the list)
  MailFolderDb* pPrev;
  MailFolderDb* pNext;
};

class MailFolderDbList {
 public:
  MailFolderDbList() = default;
  // FreeAllMailFolders; the handles are not closed here.
  ~MailFolderDbList();
  MailFolderDbList(const MailFolderDbList&) = delete;
  MailFolderDbList& operator=(const MailFolderDbList&) = delete;

  // New node at the head, taking `hDb`. When memory cannot be had nothing is
  // added (and the caller still owns hDb): false.
  bool AddMailFolderDb(DWORD dataClass, HANDLE hDb, CEOID oidDb)
      REQUIRES(TrackingLock::systemLock);
  // The first node from the head with that oid (the cursor stays on it), or
  // null.
  MailFolderDb* FindMailFolderByDb(CEOID oidDb) REQUIRES(TrackingLock::systemLock);
  MailFolderDb* FirstMailFolder() REQUIRES(TrackingLock::systemLock);
  MailFolderDb* NextMailFolder() REQUIRES(TrackingLock::systemLock);
  // Unlinks and releases the node (its handle is not closed).
  void RemoveMailFolderDb(MailFolderDb* node) REQUIRES(TrackingLock::systemLock);
  // Removes every node; both header pointers end null. Handles stay open.
  void FreeAllMailFolders() REQUIRES(TrackingLock::systemLock);
  // Window close: closes every node's hDb; the nodes stay.
  void CloseAllMailFolders() REQUIRES(TrackingLock::systemLock);

  MailFolderDb* pCursor = nullptr;
  MailFolderDb* pHead = nullptr;
};

// One message's uid. Keys are unique in the map.
struct MessageUid {
  CEOID oidMsg;       // the message's record oid in pmailMsgs
  DWORD dwUid;        // its MAPI uid, or kNoUid when capture added it without
  MessageUid* pPrev;
  MessageUid* pNext;
};

class MessageUidMap {
 public:
  MessageUidMap() = default;
  // FreeAllMessageUids.
  ~MessageUidMap();
  MessageUidMap(const MessageUidMap&) = delete;
  MessageUidMap& operator=(const MessageUidMap&) = delete;

  // Adds (oid, uid) at the head unless the oid is present already (the old
  // pair is then left unchanged). Nothing is added when memory is short.
  void AddMessageUid(CEOID oidMsg, DWORD dwUid) REQUIRES(TrackingLock::systemLock);
  // The first pair from the head with that oid (the cursor stays on it), or
  // null.
  MessageUid* FindMessageUid(CEOID oidMsg) REQUIRES(TrackingLock::systemLock);
  // Removes the pair of that oid, if any.
  void RemoveMessageUid(CEOID oidMsg) REQUIRES(TrackingLock::systemLock);
  MessageUid* FirstMessageUid() REQUIRES(TrackingLock::systemLock);
  MessageUid* NextMessageUid() REQUIRES(TrackingLock::systemLock);
  // Unlinks and releases one pair.
  void UnlinkMessageUid(MessageUid* pair) REQUIRES(TrackingLock::systemLock);
  // Removes every pair; both header pointers end null.
  void FreeAllMessageUids() REQUIRES(TrackingLock::systemLock);

  // Empties the map and refills it from the mail store: every folder
  // database named (by a name that converts) in pmailFolders, every record
  // with both PROPID_MSG_OID and PROPID_MAPI_UID. The first pair met for an
  // oid stays. Only reads: no database is put under notification, and every
  // handle it opens is closed and every record buffer released before it
  // returns. A missing pmailFolders leaves the map empty.
  void RebuildMessageUidMap() REQUIRES(TrackingLock::systemLock);

  MessageUid* pCursor = nullptr;
  MessageUid* pHead = nullptr;
};

// Hands `use` every folder-database name (one that converts) of every record
// of the open pmailFolders `folders`, in store order.
void ForEachMailFolderName(ReadOnlyDb& folders, const std::function<void(LPCWSTR)>& use);

#endif  // HOLLOWMARCH_TRACKING_MAIL_STORE_H_
