#include "tracking/tracked_class.h"

#include "settings/data_classes.h"
#include "tracking/change_log.h"
#include "tracking/mail_tracking.h"
#include "tracking/sync_horizon.h"
#include "tracking/tracked_db.h"

namespace {

// Calls `act` with the log of every database of the class that has one.
template <typename Act>
void ForEachClassLog(TrackingState& tracking, DWORD dataClass, Act act)
    REQUIRES(TrackingState::systemLock) {
  TrackedDbList& table = tracking.trackedDbs;
  for (TrackedDb* node = table.FirstTrackedOfClass(dataClass); node != nullptr;
       node = table.NextTrackedOfClass(node)) {
    if (node->pLog != nullptr) act(*node->pLog);
  }
}

}  // namespace

bool HasTrackedDatabases(TrackingState& tracking, DWORD dataClass) {
  return tracking.trackedDbs.FirstTrackedOfClass(dataClass) != nullptr;
}

ClassSelection SelectTrackedClass(TrackingState& tracking, DWORD dataClass) {
  ClassSelection selection;
  TrackedDbList& table = tracking.trackedDbs;
  if (dataClass == kMailDataClass) CheckMailStore(tracking);
  if (HasTrackedDatabases(tracking, dataClass)) {
    table.CheckClassDatabases(dataClass, dataClass != kMailDataClass, tracking.hwndMain);
  }
  selection.existed = HasTrackedDatabases(tracking, dataClass);
  selection.enabled =
      selection.existed || table.DiscoverClassDbs(dataClass, false, tracking.hwndMain);
  return selection;
}

bool CheckClassDatabases(TrackingState& tracking, DWORD dataClass) {
  if (dataClass == kMailDataClass) CheckMailStore(tracking);
  return tracking.trackedDbs.CheckClassDatabases(dataClass, dataClass != kMailDataClass,
                                                 tracking.hwndMain);
}

void ForgetChange(TrackingState& tracking, DWORD dataClass, CEOID oidRec) {
  ForEachClassLog(tracking, dataClass,
                  [oidRec](ChangeLog& log) REQUIRES(TrackingState::systemLock) {
                    ChangeEntry* entry = log.FindEntry(oidRec);
                    if (entry == nullptr) return;
                    log.DeleteEntryRecord(entry);
                    log.RemoveEntry(entry);
                  });
}

void DeleteClassLogs(TrackingState& tracking, DWORD dataClass) {
  ForEachClassLog(tracking, dataClass,
                  [](ChangeLog& log) REQUIRES(TrackingState::systemLock) { log.DeleteLogDb(); });
}

bool LoadClassChanges(TrackingState& tracking, DWORD dataClass) {
  return tracking.trackedDbs.LoadClassLog(dataClass);
}

bool EndClassChanges(TrackingState& tracking, DWORD dataClass) {
  return tracking.trackedDbs.EndClassLog(dataClass);
}

void FlushClassChanges(TrackingState& tracking, DWORD dataClass) {
  EndClassChanges(tracking, dataClass);
  tracking.messageUids.RebuildMessageUidMap();
}

void RollBackClass(TrackingState& tracking, DWORD dataClass) {
  if (!HasTrackedDatabases(tracking, dataClass)) return;
  LoseClass(tracking.syncStates, dataClass);
  ForEachClassLog(tracking, dataClass,
                  [](ChangeLog& log) REQUIRES(TrackingState::systemLock) { log.ForgetDatabase(); });
}

void DiscoverTrackedClasses(TrackingState& tracking, std::span<const DWORD> classes,
                            bool withMail, bool recent, bool keepLogs, HWND window) {
  TrackedDbList& table = tracking.trackedDbs;
  table.fKeepExistingLogs = keepLogs;
  for (DWORD dataClass : classes) table.DiscoverClassDbs(dataClass, recent, window);
  if (withMail) SetUpMailTracking(tracking, recent);
  table.fKeepExistingLogs = false;
}

void CloseTrackedDatabases(TrackingState& tracking, bool keepLogs) {
  tracking.trackedDbs.CloseAllTracked(keepLogs);
  tracking.mailFolders.CloseAllMailFolders();
}

void PurgeOldChanges(TrackingState& tracking) { tracking.trackedDbs.PurgeOldChanges(); }
