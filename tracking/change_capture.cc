#include "tracking/change_capture.h"

#include <cassert>
#include <cstdio>
#include <iterator>
#include <optional>

#include "platform/notification_journal.h"
#include "platform/object_store.h"
#include "platform/window.h"
#include "settings/registry_store.h"
#include "tracking/change_log.h"
#include "tracking/clock.h"
#include "tracking/mail_store.h"
#include "tracking/mail_tracking.h"
#include "tracking/record_reader.h"
#include "tracking/trace.h"
#include "tracking/tracked_db.h"
#include "tracking/sync_horizon.h"
#include "tracking/system_lock.h"

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

// A notification that capture does not look at (capture suppressed, or
// nothing of it to record): acknowledged as handled, unless losses wait to
// be written.
void AcknowledgeDropped(TrackingState& ctx) REQUIRES(TrackingState::systemLock) {
  if (!LossesUnsaved(ctx.syncStates)) CeAcknowledgeNotification();
}

// Several notifications captured in one store transaction, begun with the
// first change to record (or by the caller); the changes of them all and
// the acknowledgement of the last become durable together, or none of it
// does. Add filters one notification as LogDbChange does and queues its
// change for its log; Commit writes each log's changes with one append,
// then ends the group, and must be called, under the lock, before the group
// is destroyed. The store's write lock is held from the group's first change
// to Commit: a group must be short.
//
// What a reader sees after the commit is what appending each change at its
// Add would have left; only the number of store calls differs. A log's
// changes keep their order; the repeat filter sees each change at its Add,
// and forgets those whose log failed.
class CaptureGroup {
 public:
  // Where the group's store transaction comes from.
  enum class Store {
    kBeginWhenNeeded,  // begun with the first change to record
    kBegun,            // the caller's CeBeginTransaction, which the group ends
    kUnavailable,      // the caller could not get the store: call by call
  };
  CaptureGroup(TrackingState& ctx, Store store) REQUIRES(TrackingState::systemLock)
      : ctx_(&ctx),
        savedLast_(ctx.lastLogged),
        began_(store != Store::kBeginWhenNeeded),
        inTransaction_(store == Store::kBegun) {}
  ~CaptureGroup() { assert(committed_); }
  CaptureGroup(const CaptureGroup&) = delete;
  CaptureGroup& operator=(const CaptureGroup&) = delete;

  // The notification of the message the window thread took last.
  void Add(UINT uiMessage, CEOID oidRec, CEOID oidDb) REQUIRES(TrackingState::systemLock);
  // The failures to show: one per log whose changes could not be written,
  // and one more when changes were written and the group could not be
  // committed. Once.
  int Commit() REQUIRES(TrackingState::systemLock);

 private:
  // A log the group records for, with the changes queued for it in order.
  struct Touched {
    TrackedDb* tracked;  // a node of ctx_->trackedDbs, which lives as long as the state
    std::vector<PendingChange> changes;
    bool failed = false;
  };
  // A change queued, as the repeat filter saw it.
  struct Logged {
    size_t touched;  // index into touched_
    LastLoggedChange change;
  };

  Touched& Touch(TrackedDb& tracked) REQUIRES(TrackingState::systemLock);
  int Flush() REQUIRES(TrackingState::systemLock);

  TrackingState* const ctx_ PT_GUARDED_BY(TrackingState::systemLock);
  const LastLoggedChange savedLast_;
  std::vector<Touched> touched_ GUARDED_BY(TrackingState::systemLock);
  std::vector<Logged> logged_ GUARDED_BY(TrackingState::systemLock);
  bool began_;
  bool inTransaction_;
  bool appended_ = false;
  bool allHandled_ = true;
  bool committed_ = false;
};

void CaptureGroup::Add(UINT uiMessage, CEOID oidRec, CEOID oidDb) {
  TrackingState& ctx = *ctx_;
  TraceNotification(uiMessage, oidRec, oidDb);
  // Losses written by no one yet (by capture or by the worker) are tried
  // again first.
  if (LossesUnsaved(ctx.syncStates)) WriteUnsavedLosses(ctx.syncStates);

  bool folderNotification = false;
  TrackedDb* tracked = TrackedDbOfNotification(ctx, oidDb, &folderNotification);
  if (tracked == nullptr) return;

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
  if (folderNotification && search.uid == kNoUid) return;

  LastLoggedChange& last = ctx.lastLogged;
  if (IsRepeat(last, type, search.key, search.uid)) return;

  // A clock set back before what the class recorded: its stamps would no
  // longer order against the peer's anchors.
  if (!ClockKeepsOrder(ctx.syncStates, tracked->dwClass, CurrentTime())) return;

  // The transaction begins with the first change to record, so that a
  // group that records nothing costs no store write.
  if (!began_) {
    began_ = true;
    inTransaction_ = CeBeginTransaction() != FALSE;
  }
  Touched& touched = Touch(*tracked);
  touched.changes.push_back(PendingChange{type, search.key, search.uid});
  // Filters the repeats of the group's later notifications; taken back if
  // its log fails or the group does not commit.
  last.bType = type;
  last.oidRec = search.key;
  last.dwUid = search.uid;
  last.dwTime = CurrentTime();
  logged_.push_back(Logged{static_cast<size_t>(&touched - touched_.data()), last});
  return;
}

CaptureGroup::Touched& CaptureGroup::Touch(TrackedDb& tracked) {
  for (Touched& t : touched_) {
    if (t.tracked == &tracked) return t;
  }
  touched_.push_back(Touched{&tracked, {}});
  return touched_.back();
}

int CaptureGroup::Flush() {
  TrackingState& ctx = *ctx_;
  int failures = 0;
  for (Touched& t : touched_) {
    DWORD time = 0;
    if (t.tracked->pLog->AppendChanges(t.changes.data(), t.changes.size(), &time)) {
      appended_ = true;
      NoteRecordedTime(ctx.syncStates, t.tracked->dwClass, time);
      continue;
    }
    // The append has lost the class; the group's notifications are handled
    // only once that loss is written with the group.
    t.failed = true;
    ++failures;
    if (!LoseClass(ctx.syncStates, t.tracked->dwClass)) allHandled_ = false;
  }
  if (failures != 0) {
    // The repeat filter keeps the last change that was written.
    ctx.lastLogged = savedLast_;
    for (auto it = logged_.rbegin(); it != logged_.rend(); ++it) {
      if (!touched_[it->touched].failed) {
        ctx.lastLogged = it->change;
        break;
      }
    }
  }
  return failures;
}

int CaptureGroup::Commit() {
  assert(!committed_);
  committed_ = true;
  TrackingState& ctx = *ctx_;
  const int failures = Flush();
  const bool mayAcknowledge = allHandled_ && !LossesUnsaved(ctx.syncStates);
  // Inside the transaction the acknowledgement commits with the group.
  // Without one (nothing recorded, or the transaction could not begin) each
  // log's append committed on its own, so acknowledging is safe.
  if (mayAcknowledge) CeAcknowledgeNotification();
  if (!inTransaction_ || CeEndTransaction(TRUE)) return failures;
  // Nothing of the group stays: its changes, the logs' own work, the losses
  // it wrote, the acknowledgement. The classes it touched are lost afresh.
  ctx.lastLogged = savedLast_;
  for (Touched& t : touched_) {
    t.tracked->pLog->ForgetDatabase();
    LoseClass(ctx.syncStates, t.tracked->dwClass);  // an unsaved loss holds acknowledging
  }
  return failures + (appended_ ? 1 : 0);
}

// A batch capture would record nothing of (capture suppressed, or no
// notification of it on a database being tracked): acknowledged without
// the store's write lock. True when it was handled so.
bool AcknowledgedWithoutStore(TrackingState& ctx, const std::vector<Notification>& batch)
    REQUIRES(TrackingState::systemLock) {
  const bool suppressed = ctx.capture.fCaptureSuppressed.load() != 0;
  if (!suppressed) {
    for (const Notification& n : batch) {
      if (IsChangeNotification(n.uiMessage) && CaptureMayWrite(ctx, n.oidDb)) return false;
    }
    for (const Notification& n : batch) {
      if (IsChangeNotification(n.uiMessage)) TraceNotification(n.uiMessage, n.oidRec, n.oidDb);
    }
  }
  AcknowledgeDropped(ctx);
  return true;
}

// The group of CaptureNotifications once systemLock is held with the store
// as `store` says; the number of failures to show.
int CaptureGroupUnderLock(TrackingState& ctx, CaptureGroup::Store store,
                          const std::vector<Notification>& batch, NotificationSource& more)
    REQUIRES(TrackingState::systemLock) {
  if (ctx.capture.fCaptureSuppressed.load() != 0) {
    AcknowledgeDropped(ctx);
    if (store == CaptureGroup::Store::kBegun) CeEndTransaction(TRUE);
    return 0;
  }
  std::optional<ScopedStoreWait> noWait;
  if (store == CaptureGroup::Store::kUnavailable) noWait.emplace(0);
  CaptureGroup group(ctx, store);
  const auto add = [&](const Notification& n) REQUIRES(TrackingState::systemLock) {
    if (IsChangeNotification(n.uiMessage)) group.Add(n.uiMessage, n.oidRec, n.oidDb);
  };
  for (const Notification& n : batch) add(n);
  Notification next;
  for (size_t taken = batch.size();
       taken < static_cast<size_t>(kCaptureGroupMax) && more.Next(&next); ++taken) {
    add(next);
  }
  return group.Commit();
}

}  // namespace

bool IsChangeNotification(UINT uiMessage) {
  return uiMessage == DB_CEOID_CREATED || uiMessage == DB_CEOID_RECORD_DELETED ||
         uiMessage == DB_CEOID_CHANGED;
}

bool WindowNotificationQueue::Next(Notification* next) {
  MSG msg;
  if (!PeekMessageW(&msg, window_, DB_CEOID_CREATED, DB_CEOID_CHANGED, PM_REMOVE)) return false;
  *next = {msg.message, static_cast<CEOID>(msg.wParam), static_cast<CEOID>(msg.lParam)};
  return true;
}

bool CaptureMayWrite(TrackingState& ctx, CEOID oidDb) {
  if (LossesUnsaved(ctx.syncStates)) return true;
  bool folderNotification = false;
  return TrackedDbOfNotification(ctx, oidDb, &folderNotification) != nullptr;
}

int CaptureNotifications(TrackingState& ctx, const std::vector<Notification>& batch,
                         NotificationSource& more, void (*whileStoreBusy)()) {
  assert(!batch.empty());
  {
    platform::MutexLock lock(&TrackingState::systemLock);
    if (AcknowledgedWithoutStore(ctx, batch)) return 0;
  }
  const bool storeTaken = LockWithStore(whileStoreBusy);
  int failures;
  {
    ScopedStoreWait wait(kStoreWaitUnderSystemLockMs);
    failures = CaptureGroupUnderLock(
        ctx, storeTaken ? CaptureGroup::Store::kBegun : CaptureGroup::Store::kUnavailable, batch,
        more);
  }
  TrackingState::systemLock.Unlock();
  return failures;
}

DWORD LogDbChange(TrackingState& ctx, UINT uiMessage, CEOID oidRec,
                  CEOID oidDb) {
  CaptureGroup group(ctx, CaptureGroup::Store::kBeginWhenNeeded);
  group.Add(uiMessage, oidRec, oidDb);
  return group.Commit() == 0 ? 0 : kCaptureAppendFailed;
}
