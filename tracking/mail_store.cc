#include "tracking/mail_store.h"

#include "platform/codepage.h"
#include "platform/kernel.h"
#include "settings/registry_store.h"
#include "tracking/node_list.h"
#include "tracking/record_reader.h"

bool FolderNameConverts(LPCWSTR name) {
  if (name == nullptr) return false;
  return WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr,
                             nullptr) != 0;
}

namespace {

// Calls `use(name)` for every folder-database name of one pmailFolders record
// that passes the conversion test.
template <class Use>
void ForEachFolderName(const RecordProps& record, Use use) {
  for (WORD i = 0; i < record.count(); ++i) {
    if (record[i].propid != PROPID_FOLDER_DBNAME) continue;
    LPCWSTR name = record.StringAt(i);
    if (!FolderNameConverts(name)) continue;
    use(name);
  }
}

// Reads every record of the open pmailFolders `folders` (whose record count
// comes from `oidFolders`) and hands each folder name to `use`.
template <class Use>
void ForEachFolderRecordName(ReadOnlyDb& folders, Use use) {
  WORD cRecords = 0;
  if (!DatabaseRecordCount(folders.oid(), &cRecords)) return;
  if (!folders.SeekToStart()) return;
  RecordProps record;
  for (DWORD i = 0; i < cRecords; ++i) {
    if (record.ReadNext(folders.handle()) == 0) continue;
    ForEachFolderName(record, use);
    record.Release();
  }
}

// Adds the (message oid, uid) pair of every record of one folder database
// that carries both.
void AddFolderPairs(MessageUidMap& map, LPCWSTR folderName) REQUIRES(TrackingLock::systemLock) {
  ReadOnlyDb folder(0, folderName);
  if (!folder.ok()) return;
  WORD cRecords = 0;
  if (!DatabaseRecordCount(folder.oid(), &cRecords)) return;
  if (!folder.SeekToStart()) return;
  RecordProps record;
  for (DWORD i = 0; i < cRecords; ++i) {
    if (record.ReadNext(folder.handle()) == 0) continue;
    bool hasOid = false;
    bool hasUid = false;
    CEOID oidMsg = 0;
    DWORD dwUid = 0;
    for (WORD p = 0; p < record.count() && !(hasOid && hasUid); ++p) {
      if (record[p].propid == PROPID_MSG_OID) {
        hasOid = true;
        oidMsg = record[p].val.ulVal;
      } else if (record[p].propid == PROPID_MAPI_UID) {
        hasUid = true;
        dwUid = record[p].val.ulVal;
      }
    }
    if (hasOid && hasUid) map.AddMessageUid(oidMsg, dwUid);
    record.Release();
  }
}

}  // namespace

void ForEachMailFolderName(ReadOnlyDb& folders, const std::function<void(LPCWSTR)>& use) {
  ForEachFolderRecordName(folders, use);
}

// ---- MailFolderDbList ----

MailFolderDbList::~MailFolderDbList() { FreeAllMailFolders(); }

bool MailFolderDbList::AddMailFolderDb(DWORD dataClass, HANDLE hDb,
                                       CEOID oidDb) {
  auto* node = static_cast<MailFolderDb*>(
      LocalAlloc(LMEM_ZEROINIT, sizeof(MailFolderDb)));
  if (node == nullptr) return false;
  node->dwClass = dataClass;
  node->hDb = hDb;
  node->oidDb = oidDb;
  LinkAtHead(*this, node);
  return true;
}

MailFolderDb* MailFolderDbList::FindMailFolderByDb(CEOID oidDb) {
  for (MailFolderDb* node = FirstMailFolder(); node != nullptr;
       node = NextMailFolder()) {
    if (node->oidDb == oidDb) return node;
  }
  return nullptr;
}

MailFolderDb* MailFolderDbList::FirstMailFolder() { return StepFirst(*this); }

MailFolderDb* MailFolderDbList::NextMailFolder() {
  return StepNext(*this);
}

void MailFolderDbList::RemoveMailFolderDb(MailFolderDb* node) {
  if (node != nullptr) Unlink(*this, node);
}

void MailFolderDbList::FreeAllMailFolders() {
  // Removing the head empties the cursor, so each next step starts at the
  // new head.
  for (MailFolderDb* node = FirstMailFolder(); node != nullptr;
       node = NextMailFolder()) {
    RemoveMailFolderDb(node);
  }
  pCursor = nullptr;
  pHead = nullptr;
}

void MailFolderDbList::CloseAllMailFolders() {
  for (MailFolderDb* node = FirstMailFolder(); node != nullptr;
       node = NextMailFolder()) {
    CloseHandle(node->hDb);
  }
}

// ---- MessageUidMap ----

MessageUidMap::~MessageUidMap() { FreeAllMessageUids(); }

void MessageUidMap::AddMessageUid(CEOID oidMsg, DWORD dwUid) {
  if (FindMessageUid(oidMsg) != nullptr) return;
  auto* pair = static_cast<MessageUid*>(
      LocalAlloc(LMEM_ZEROINIT, sizeof(MessageUid)));
  if (pair == nullptr) return;
  pair->oidMsg = oidMsg;
  pair->dwUid = dwUid;
  LinkAtHead(*this, pair);
}

MessageUid* MessageUidMap::FindMessageUid(CEOID oidMsg) {
  for (MessageUid* pair = FirstMessageUid(); pair != nullptr;
       pair = NextMessageUid()) {
    if (pair->oidMsg == oidMsg) return pair;
  }
  return nullptr;
}

void MessageUidMap::RemoveMessageUid(CEOID oidMsg) {
  MessageUid* pair = FindMessageUid(oidMsg);
  if (pair != nullptr) UnlinkMessageUid(pair);
}

MessageUid* MessageUidMap::FirstMessageUid() { return StepFirst(*this); }

MessageUid* MessageUidMap::NextMessageUid() {
  return StepNext(*this);
}

void MessageUidMap::UnlinkMessageUid(MessageUid* pair) {
  if (pair != nullptr) Unlink(*this, pair);
}

void MessageUidMap::FreeAllMessageUids() {
  for (MessageUid* pair = FirstMessageUid(); pair != nullptr;
       pair = NextMessageUid()) {
    UnlinkMessageUid(pair);
  }
  pCursor = nullptr;
  pHead = nullptr;
}

void MessageUidMap::RebuildMessageUidMap() {
  FreeAllMessageUids();
  // Its own handle and oid: the set-up's oidMailFolders is not touched.
  ReadOnlyDb folders(0, kMailFoldersDbName);
  if (!folders.ok()) return;
  ForEachFolderRecordName(folders, [this](LPCWSTR name) {
    TrackingLock::systemLock.AssertHeld();  // run inside this call
    AddFolderPairs(*this, name);
  });
}
