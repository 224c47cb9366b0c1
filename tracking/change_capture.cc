#include "tracking/change_capture.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "platform/notification_journal.h"
#include "platform/object_store.h"
#include "settings/registry_store.h"
#include "tracking/change_log.h"
#include "tracking/clock.h"
#include "tracking/mail_store.h"
#include "tracking/mail_tracking.h"
#include "tracking/record_reader.h"
#include "tracking/trace.h"
#include "tracking/tracked_db.h"
#include "tracking/sync_horizon.h"

namespace {

// What the search for a mail message's uid works with and finds.
struct MessageSearch {
  bool folderNotification;  // else a notification on pmailMsgs
  CEOID key;                // oidRec, then the message's oid once matched
  DWORD uid = kNoUid;
  bool found = false;
};

BYTE ChangeTypeOf(UINT uiMessage) {
  switch (uiMessage) {
    case DB_CEOID_RECORD_DELETED:
      return ChangeTypeDelete;
    case DB_CEOID_CHANGED:
      return ChangeTypeModify;
    default:
      return ChangeTypeAdd;
  }
}

// Examines one folder record. A folder notification names the folder record
// itself (its own oid is the key, and the key then becomes the message's
// oid); a notification on pmailMsgs names the message (PROPID_MSG_OID equals
// the key). The search ends at the first matching record that has a uid.
void ExamineFolderRecord(MessageSearch& search, CEOID oidRecord,
                         const RecordProps& record) {
  bool matches = false;
  bool hasUid = false;
  DWORD recordUid = kNoUid;
  for (WORD i = 0; i < record.count() && !search.found; ++i) {
    const CEPROPVAL& prop = record[i];
    if (prop.propid == PROPID_MSG_OID) {
      if (search.folderNotification) {
        if (oidRecord == search.key) {
          matches = true;
          search.key = prop.val.ulVal;
        }
      } else if (prop.val.ulVal == search.key) {
        matches = true;
      }
    } else if (prop.propid == PROPID_MAPI_UID) {
      hasUid = true;
      recordUid = prop.val.ulVal;
    }
    if (matches && hasUid) {
      search.found = true;
      search.uid = recordUid;
    }
  }
}

// Reads the records of one open folder database until the search is done.
void ScanFolder(MessageSearch& search, ReadOnlyDb& folder) {
  WORD cRecords = 0;
  if (!DatabaseRecordCount(folder.oid(), &cRecords)) return;
  if (!folder.SeekToStart()) return;
  RecordProps record;
  for (DWORD i = 0; i < cRecords && !search.found; ++i) {
    CEOID oidRecord = record.ReadNext(folder.handle());
    if (oidRecord == 0) continue;
    ExamineFolderRecord(search, oidRecord, record);
    record.Release();
  }
}

// Scans the first folder database of one pmailFolders record that opens,
// putting it under notification on the way (folders created after start-up
// come under notification this way).
void ScanFoldersOfRecord(TrackingState& ctx, MessageSearch& search, const RecordProps& record)
    REQUIRES(TrackingState::systemLock) {
  for (WORD i = 0; i < record.count() && !search.found; ++i) {
    if (record[i].propid != PROPID_FOLDER_DBNAME) continue;
    LPCWSTR name = record.StringAt(i);
    if (!FolderNameConverts(name)) continue;
    ReadOnlyDb folder(0, name);
    if (!folder.ok()) continue;
    TrackMailFolderDbByOid(ctx, folder.oid());
    ScanFolder(search, folder);
    return;
  }
}

// Looks for the folder record of the notified message through pmailFolders
// and every folder database it names, in store order.
void SearchMailStore(TrackingState& ctx, MessageSearch& search)
    REQUIRES(TrackingState::systemLock) {
  WORD cFolders = 0;
  if (!DatabaseRecordCount(ctx.mail.oidMailFolders, &cFolders)) return;
  ReadOnlyDb folders(ctx.mail.oidMailFolders, nullptr);
  if (!folders.ok()) return;
  if (!folders.SeekToStart()) return;
  RecordProps record;
  for (DWORD i = 0; i < cFolders && !search.found; ++i) {
    if (record.ReadNext(folders.handle()) == 0) continue;
    ScanFoldersOfRecord(ctx, search, record);
    record.Release();
  }
}

bool IsRepeat(const LastLoggedChange& last, BYTE type, CEOID oid, DWORD uid) {
  // The clock is read only when everything else is equal.
  return type == last.bType && oid == last.oidRec && uid == last.dwUid &&
         CurrentTime() == last.dwTime;
}

// Steps 2 to 4 of Add, without their trace.
TrackedDb* TrackedDbOfNotification(TrackingState& ctx, CEOID oidDb, bool* folderNotification)
    REQUIRES(TrackingState::systemLock) {
  *folderNotification = ctx.mailFolders.FindMailFolderByDb(oidDb) != nullptr;
  TrackedDb* tracked =
      ctx.trackedDbs.FindTrackedByDb(*folderNotification ? ctx.mail.oidMailMsgs : oidDb);
  if (tracked == nullptr) return nullptr;
  if (GetSyncState(ctx.syncStates, tracked->dwClass) != SyncStateTracking) return nullptr;
  return tracked;
}

}  // namespace

void TraceNotification(UINT uiMessage, CEOID oidRec, CEOID oidDb) {
  char unknown[40];
  const char* text;
  switch (uiMessage) {
    case DB_CEOID_CREATED:
      text = "Add";
      break;
    case DB_CEOID_RECORD_DELETED:
      text = "Delete";
      break;
    case DB_CEOID_CHANGED:
      text = "Modify";
      break;
    default:
      std::snprintf(unknown, sizeof unknown, "(Unknown uiMessage %d)",
                    static_cast<int>(uiMessage));
      text = unknown;
  }
  Trace("LogDbChange type = %s, oidRec = %08x, oidDb = %08x", text, oidRec,
        oidDb);
}

bool CaptureMayWrite(TrackingState& ctx, CEOID oidDb) {
  if (LossesUnsaved(ctx.syncStates)) return true;
  bool folderNotification = false;
  return TrackedDbOfNotification(ctx, oidDb, &folderNotification) != nullptr;
}

void AcknowledgeDropped(TrackingState& ctx) {
  if (!LossesUnsaved(ctx.syncStates)) CeAcknowledgeNotification();
}

CaptureGroup::CaptureGroup(TrackingState& ctx, Store store)
    : ctx_(ctx),
      savedLast_(ctx.lastLogged),
      began_(store != Store::kBeginWhenNeeded),
      inTransaction_(store == Store::kBegun) {}

CaptureGroup::~CaptureGroup() {
  if (!committed_) Commit();
}

DWORD CaptureGroup::Add(UINT uiMessage, CEOID oidRec, CEOID oidDb) {
  TrackingState& ctx = ctx_;
  TraceNotification(uiMessage, oidRec, oidDb);
  // Losses written by no one yet (by capture or by the worker) are tried
  // again first.
  if (LossesUnsaved(ctx.syncStates)) WriteUnsavedLosses(ctx.syncStates);

  bool folderNotification = false;
  TrackedDb* tracked = TrackedDbOfNotification(ctx, oidDb, &folderNotification);
  if (tracked == nullptr) return 0;

  const BYTE type = ChangeTypeOf(uiMessage);
  MessageSearch search{folderNotification, oidRec};
  const bool mail =
      folderNotification ||
      (ctx.mail.oidMailMsgs != 0 && oidDb == ctx.mail.oidMailMsgs);
  if (mail) {
    SearchMailStore(ctx, search);
    if (folderNotification) {
      if (type == ChangeTypeAdd) {
        ctx.messageUids.AddMessageUid(search.key, search.uid);
      } else if (type == ChangeTypeDelete) {
        ctx.messageUids.RemoveMessageUid(search.key);
      }
    }
  }
  if (!search.found) {
    if (const MessageUid* pair = ctx.messageUids.FindMessageUid(search.key)) {
      search.uid = pair->dwUid;
    }
  }
  // A folder record that cannot be tied to a uid says nothing the peer can
  // use; a change on pmailMsgs or another class is kept without one.
  if (folderNotification && search.uid == kNoUid) return 0;

  LastLoggedChange& last = ctx.lastLogged;
  if (IsRepeat(last, type, search.key, search.uid)) return 0;

  // A clock set back before what the class recorded: its stamps would no
  // longer order against the peer's anchors.
  if (!ClockKeepsOrder(ctx.syncStates, tracked->dwClass, CurrentTime())) return 0;

  // The transaction begins with the first change to record, so that a
  // group that records nothing costs no store write.
  if (!began_) {
    began_ = true;
    inTransaction_ = CeBeginTransaction() != FALSE;
  }
  Touch(*tracked);
  if (!tracked->pLog->AppendChange(type, search.key, search.uid)) {
    // The append has lost the class; the notification is handled only once
    // that loss is written with the group.
    if (!LoseClass(ctx.syncStates, tracked->dwClass)) allHandled_ = false;
    return kCaptureAppendFailed;
  }
  appended_ = true;
  // Filters the repeats of the group's later notifications; taken back if
  // the group does not commit.
  last.bType = type;
  last.oidRec = search.key;
  last.dwUid = search.uid;
  last.dwTime = CurrentTime();
  NoteRecordedTime(ctx.syncStates, tracked->dwClass, last.dwTime);
  return 0;
}

void CaptureGroup::Touch(TrackedDb& tracked) {
  if (std::find(touched_.begin(), touched_.end(), &tracked) == touched_.end()) {
    touched_.push_back(&tracked);
  }
}

DWORD CaptureGroup::Commit() {
  if (committed_) return 0;
  committed_ = true;
  TrackingState& ctx = ctx_;
  const bool mayAcknowledge = allHandled_ && !LossesUnsaved(ctx.syncStates);
  if (!inTransaction_) {
    // Nothing recorded, or recorded call by call (the transaction could not
    // begin): each change is durable already, so acknowledging is safe.
    if (mayAcknowledge) CeAcknowledgeNotification();
    return 0;
  }
  if (mayAcknowledge) CeAcknowledgeNotification();
  if (CeEndTransaction(TRUE)) return 0;
  // Nothing of the group stays: its changes, the logs' own work, the losses
  // it wrote, the acknowledgement. The classes it touched are lost afresh.
  ctx.lastLogged = savedLast_;
  for (TrackedDb* tracked : touched_) {
    tracked->pLog->ForgetDatabase();
    LoseClass(ctx.syncStates, tracked->dwClass);  // an unsaved loss holds acknowledging
  }
  return appended_ ? kCaptureAppendFailed : 0;
}

DWORD LogDbChange(TrackingState& ctx, UINT uiMessage, CEOID oidRec,
                  CEOID oidDb) {
  CaptureGroup group(ctx);
  DWORD result = group.Add(uiMessage, oidRec, oidDb);
  DWORD committed = group.Commit();
  return result != 0 ? result : committed;
}
