#include "tools/hmdevice_shell.h"

#include <cstdio>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/kernel.h"
#include "platform/notification_journal.h"
#include "platform/object_store.h"
#include "platform/registry.h"
#include "platform/window.h"
#include "server/server_state.h"
#include "settings/data_classes.h"
#include "settings/registry_store.h"
#include "settings/sync_state_cache.h"
#include "shell/change_list_interface.h"
#include "tools/hmdevice_system.h"
#include "tools/time_text.h"
#include "tools/hmdevice_values.h"
#include "tracking/change_log.h"
#include "tracking/mail_store.h"

namespace hmdevice {
namespace {

struct Change {
  DWORD type, time, oid, uid, reserved;
};

DWORD Ask(HWND window, UINT message, WPARAM wparam, LPARAM lparam = 0) {
  return static_cast<DWORD>(SendMessageW(window, message, wparam, lparam));
}

const char* StateName(DWORD state) {
  switch (state) {
    case SyncStateNone:
      return "none";
    case SyncStateTracking:
      return "tracking";
    case SyncStateLost:
      return "lost";
    default:
      return "other";
  }
}

// A REG_DWORD of the settings key; 0 when missing or of another type.
DWORD ReadSettingsDword(const std::u16string& name) {
  HKEY key = OpenSettingsKey();
  if (key == 0) return 0;
  DWORD type = 0, value = 0, size = sizeof value;
  LONG rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && type == REG_DWORD ? value : 0;
}

struct DbInfo {
  std::string name;
  DWORD records;
};

std::vector<DbInfo> DatabasesOfType(DWORD type) {
  std::vector<DbInfo> out;
  HANDLE found = CeFindFirstDatabase(type);
  if (found == INVALID_HANDLE_VALUE) return out;
  for (CEOID oid = CeFindNextDatabase(found); oid != 0; oid = CeFindNextDatabase(found)) {
    CEOIDINFO info{};
    if (!CeOidGetInfo(oid, &info)) continue;
    out.push_back({Utf16ToUtf8(info.infDatabase.szDbaseName), info.infDatabase.wNumRecords});
  }
  CloseHandle(found);
  return out;
}

// The databases a class's discovery or mail set-up would track.
std::vector<DbInfo> ClassDatabases(DWORD dataClass) {
  if (dataClass != kMailDataClass) return DatabasesOfType(dataClass);
  std::vector<DbInfo> out;
  CEOID oid = 0;
  HANDLE db = CeOpenDatabase(&oid, u"pmailMsgs", 0, 0, 0);
  if (db == INVALID_HANDLE_VALUE) return out;
  CEOIDINFO info{};
  if (CeOidGetInfo(oid, &info)) out.push_back({"pmailMsgs", info.infDatabase.wNumRecords});
  CloseHandle(db);
  return out;
}

}  // namespace

int ChangesCommand(Io& io, const std::string& class_text, const std::optional<std::string>& since,
                   bool json) {
  auto data_class = ParseU32(class_text);
  if (!data_class.ok()) return Problem(io, kExitBadInput, "CLASS: " + data_class.error());
  uint32_t from = 0;
  if (since) {
    auto parsed = ParseU32(*since);
    if (!parsed.ok()) return Problem(io, kExitBadInput, "--since: " + parsed.error());
    from = parsed.value();
  }
  HWND window = FindWindowW(kServerWindowClass, nullptr);
  if (window == 0) return Problem(io, kExitMissing, "the system is not running");
  const DWORD cls = data_class.value();
  if (Ask(window, WM_HMAPP_START_CHANGE_LIST, cls) == 0) {
    return Problem(io, kExitMissing, "class " + std::to_string(cls) + " has no tracked database");
  }
  std::vector<Change> changes;
  const LPARAM lfrom = static_cast<LPARAM>(from);
  for (DWORD h = Ask(window, WM_HMAPP_GET_NEXT_CHANGE, 0, lfrom); h != 0;
       h = Ask(window, WM_HMAPP_GET_NEXT_CHANGE, 1, lfrom)) {
    changes.push_back({Ask(window, WM_HMAPP_GET_CHANGE_TYPE, h), Ask(window, WM_HMAPP_GET_CHANGE_TIME, h),
                       Ask(window, WM_HMAPP_GET_CHANGE_OID, h), Ask(window, WM_HMAPP_GET_MAPI_UID, h),
                       Ask(window, WM_HMAPP_GET_CHANGE_RESERVED, h)});
  }
  Ask(window, WM_HMAPP_END_CHANGE_LIST, cls);
  // The fields as hmpeer changes shows them (the local interface has no
  // database identifier, and gives the reserved word).
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const Change& c : changes) {
      array.push_back({{"type", tools::ChangeTypeWord(c.type)}, {"typeCode", c.type}, {"time", c.time},
                       {"timeText", tools::IsoTime(c.time)}, {"oid", c.oid}, {"uid", c.uid},
                       {"reserved", c.reserved}});
    }
    io.out << array.dump() << "\n";
  } else {
    for (const Change& c : changes) {
      char uid[16];
      std::snprintf(uid, sizeof uid, "0x%08x", static_cast<unsigned>(c.uid));
      io.out << tools::ChangeTypeWord(c.type) << " " << tools::IsoTime(c.time) << " rec " << c.oid << " uid " << uid
             << " reserved " << c.reserved << "\n";
    }
  }
  return kExitOk;
}

int StatusCommand(Io& io, bool json) {
  const bool running = FindWindowW(kServerWindowClass, nullptr) != 0;
  SyncStateCache cache;  // empty: every state is read from the registry
  nlohmann::json classes = nlohmann::json::array();
  // Notifications the system (or its next start, when it died) still has to
  // capture; none without a journal.
  DWORD uncaptured = 0;
  const bool journal = CeGetNotificationBacklog(kServerWindowClass, &uncaptured) != FALSE;
  // Where the running server listens and whom it serves; nothing of a
  // server that does not run (its last state may be left over).
  const std::optional<ServerState> server = running ? ReadServerState() : std::nullopt;
  if (!json) {
    io.out << "system: " << (running ? "running" : "not running");
    if (journal) io.out << ", " << uncaptured << " notification(s) not yet captured";
    io.out << "\n";
    if (server) {
      io.out << "server: listening on " << server->listen << ", "
             << (server->peer.empty() ? "no peer connected"
                                      : "peer " + server->peer +
                                            " connected (the device serves one peer at a time)")
             << "\n";
    }
  }
  for (DWORD cls : kDataClasses) {
    const DWORD state = GetSyncState(cache, cls);
    const DWORD sync_time = GetSyncTime(cls);
    const DWORD last = ReadSettingsDword(ClassValueName("LastSyncTime", cls));
    DWORD log_records = 0;
    for (const DbInfo& log : DatabasesOfType(cls + kLogTypeOffset)) log_records += log.records;
    std::vector<DbInfo> dbs = ClassDatabases(cls);
    if (json) {
      nlohmann::json names = nlohmann::json::array();
      for (const DbInfo& d : dbs) names.push_back(d.name);
      classes.push_back({{"class", cls},
                         {"state", state},
                         {"stateName", StateName(state)},
                         {"localState", LocalSyncState(state)},
                         {"syncTime", sync_time},
                         {"syncTimeText", sync_time != 0 ? nlohmann::json(tools::IsoTime(sync_time)) : nlohmann::json()},
                         {"lastSyncTime", last},
                         {"lastSyncTimeText", last != 0 ? nlohmann::json(tools::IsoTime(last)) : nlohmann::json()},
                         {"databases", names},
                         {"logRecords", log_records}});
    } else {
      // The state under both of its numberings: the registry's (1 is
      // tracking) and the local request's (0 is tracking).
      io.out << "class " << cls << ": " << StateName(state) << " (registry " << state << ", local request "
             << LocalSyncState(state) << "), sync time " << (sync_time != 0 ? tools::IsoTime(sync_time) : "none")
             << ", last sync " << (last != 0 ? tools::IsoTime(last) : "never") << ", " << log_records
             << " logged change(s), databases:";
      for (const DbInfo& d : dbs) io.out << " \"" << d.name << "\"";
      io.out << "\n";
    }
  }
  if (json) {
    nlohmann::json out = {{"running", running}, {"classes", classes}};
    out["listen"] = server ? nlohmann::json(server->listen) : nlohmann::json();
    out["peer"] = server && !server->peer.empty() ? nlohmann::json(server->peer) : nlohmann::json();
    out["uncaptured"] = journal ? nlohmann::json(uncaptured) : nlohmann::json();
    io.out << out.dump() << "\n";
  }
  return kExitOk;
}

}  // namespace hmdevice
