#include "tracking/mail_tracking.h"

#include "platform/kernel.h"
#include "platform/notification_journal.h"
#include "platform/object_store.h"
#include "settings/registry_store.h"
#include "tracking/change_log.h"
#include "tracking/record_reader.h"
#include "tracking/tracked_db.h"
#include "tracking/sync_horizon.h"

void SetUpMailTracking(TrackingState& ctx, bool recent) {
  ctx.mail.oidMailMsgs = 0;
  CEOID oidMsgs = 0;
  bool tracked = false;
  HANDLE hMsgs = CeOpenDatabase(&oidMsgs, kMailMsgsDbName, 0, 0, ctx.hwndMain);
  if (hMsgs != INVALID_HANDLE_VALUE) {
    ctx.mail.oidMailMsgs = oidMsgs;
    tracked = ctx.trackedDbs.AddTrackedDb(kMailDataClass, hMsgs, oidMsgs);
    // A handle that no node took would post notifications nobody records.
    if (!tracked) CloseHandle(hMsgs);
  }
  // The lost-log rule, as discovery applies it to the other classes: a log
  // kept across a restart counts only when the dead instance's journal
  // watched the store (one made or replaced while none ran was written with
  // nobody told).
  BOOL watched = TRUE;
  const bool kept = tracked && ctx.trackedDbs.pHead->pLog->KeptOnOpen() &&
                    !(CeJournalWasWatching(oidMsgs, &watched) && !watched);
  if ((GetSyncState(ctx.syncStates, kMailDataClass) == SyncStateTracking &&
       (!recent || !kept)) ||
      !tracked) {
    LoseClass(ctx.syncStates, kMailDataClass);
  }
  TrackMailFolderDbs(ctx);
  ctx.messageUids.RebuildMessageUidMap();
}

bool CheckMailStore(TrackingState& ctx) {
  CEOID current = 0;
  HANDLE probe = CeOpenDatabase(&current, kMailMsgsDbName, 0, 0, 0);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
  } else {
    current = 0;
  }
  TrackedDb* node =
      ctx.mail.oidMailMsgs != 0 ? ctx.trackedDbs.FindTrackedByDb(ctx.mail.oidMailMsgs) : nullptr;
  const bool watching = node != nullptr && node->hDb != INVALID_HANDLE_VALUE;
  if (current == 0 && !watching) return true;  // no mail store, then or now
  if (watching && current == ctx.mail.oidMailMsgs) return true;

  LoseClass(ctx.syncStates, kMailDataClass);
  if (watching) ctx.trackedDbs.RetireTrackedDb(node);
  ctx.mail.oidMailMsgs = 0;
  if (current != 0) {
    CEOID oid = current;
    HANDLE hMsgs = CeOpenDatabase(&oid, nullptr, 0, 0, ctx.hwndMain);
    if (hMsgs != INVALID_HANDLE_VALUE) {
      ctx.mail.oidMailMsgs = current;
      if (!ctx.trackedDbs.AddTrackedDb(kMailDataClass, hMsgs, current)) CloseHandle(hMsgs);
    }
  }
  TrackMailFolderDbs(ctx);
  ctx.messageUids.RebuildMessageUidMap();
  return false;
}

void TrackMailFolderDbs(TrackingState& ctx) {
  ctx.mail.oidMailFolders = 0;
  ReadOnlyDb folders(0, kMailFoldersDbName);
  if (!folders.ok()) return;
  ctx.mail.oidMailFolders = folders.oid();
  ForEachMailFolderName(folders, [&ctx](LPCWSTR name) {
    TrackingState::systemLock.AssertHeld();  // run inside this call
    TrackMailFolderDbByName(ctx, name);
  });
}

void TrackMailFolderDbByName(TrackingState& ctx, LPCWSTR name) {
  CEOID oid = 0;
  HANDLE hDb = CeOpenDatabase(&oid, name, 0, 0, ctx.hwndMain);
  if (hDb == INVALID_HANDLE_VALUE) return;
  if (ctx.mailFolders.FindMailFolderByDb(oid) != nullptr ||
      !ctx.mailFolders.AddMailFolderDb(kMailDataClass, hDb, oid)) {
    CloseHandle(hDb);
  }
}

void TrackMailFolderDbByOid(TrackingState& ctx, CEOID oidDb) {
  if (ctx.mailFolders.FindMailFolderByDb(oidDb) != nullptr) return;
  CEOID oid = oidDb;
  HANDLE hDb = CeOpenDatabase(&oid, nullptr, 0, 0, ctx.hwndMain);
  if (hDb == INVALID_HANDLE_VALUE) return;
  if (!ctx.mailFolders.AddMailFolderDb(kMailDataClass, hDb, oidDb)) {
    CloseHandle(hDb);
  }
}
