#include "shell/service_notify.h"

#include <cctype>
#include <string>

#include "platform/log.h"
#include "platform/service_manager.h"
#include "settings/data_classes.h"
#include "settings/registry_store.h"
#include "settings/sync_state_cache.h"
#include "shell/listen_address.h"
#include "shell/process_objects.h"

namespace {

// Server restarts since the start; window thread, under the lock.
int serverRestarts GUARDED_BY(TrackingState::systemLock) = 0;

std::string StatusText(ProcessObjects& p) REQUIRES(TrackingState::systemLock) {
  std::string text = "Listening on " + DescribeListenEndpoint(p.server.dwAddress, p.server.dwPort);
  if (serverRestarts > 0) {
    text += " (server restarted " + std::to_string(serverRestarts) + " time" +
            (serverRestarts == 1 ? "" : "s") + ")";
  }
  std::string classes;
  int tracked = 0;
  for (DWORD dataClass : kDataClasses) {
    if (GetSyncState(p.tracking.syncStates, dataClass) != SyncStateTracking) continue;
    classes += (tracked++ == 0 ? "" : ", ") + std::to_string(dataClass);
  }
  if (tracked == 0) {
    text += "; no class tracked";
  } else {
    text += (tracked == 1 ? "; tracking class " : "; tracking classes ") + classes;
  }
  return text;
}

// A failed notification changes nothing for the program.
void Send(const std::string& message) { platform::NotifyServiceManager(message); }

// Runs inside SetSyncState, under the lock its caller holds (every sync
// state is written under it); the analysis cannot follow the observer's
// pointer, so the lock is asserted.
void OnSyncStateChanged(DWORD, DWORD) {
  TrackingState::systemLock.AssertHeld();
  ProcessObjects* p = pProcessObjects;
  if (p != nullptr) Send("STATUS=" + StatusText(*p));
}

}  // namespace

void NotifyServiceReady(ProcessObjects& p) {
  std::string started = StatusText(p) + "; serving " + p.server.allowedPeers.Describe();
  started[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(started[0])));
  platform::WriteLog(platform::LogPriority::kInfo, "hollowmarch: " + started);
  if (!platform::ServiceManagerListens()) return;
  Send("READY=1\nSTATUS=" + StatusText(p));
  SetSyncStateObserver(&OnSyncStateChanged);
}

void NotifyServiceRestarted(ProcessObjects& p) {
  ++serverRestarts;
  if (platform::ServiceManagerListens()) Send("STATUS=" + StatusText(p));
}

void NotifyServiceStopping() {
  SetSyncStateObserver(nullptr);
  if (!platform::ServiceManagerListens()) return;
  Send("STOPPING=1\nSTATUS=Closing: stopping the server and deleting the change logs");
}
