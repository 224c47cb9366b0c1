// The system's registry settings and per-class sync state.
//
// Everything lives under HKEY_LOCAL_MACHINE\Software\Apps\Hollowmarch, which
// only this module touches. Each accessor below opens the key, reads or
// writes one value (a REG_DWORD, but for the REG_SZ ListenAddress) and
// closes the key before it returns; no key
// handle lives from one call to the next (except the two that hand their key
// to the caller). No accessor reports an error to the user: failures end in
// the documented default or in the result false.
//
// Per-class values are named "<stem>_<class>" with the class in unsigned
// decimal: SyncState_24, SyncTime_5454, LastSyncTime_291. Any class number is
// accepted; only the five data classes have cache slots.
//
// Threads: callable from the window thread and the server's worker; calls
// that take a SyncStateCache must be made under the process-wide lock.
#ifndef HOLLOWMARCH_SETTINGS_REGISTRY_STORE_H_
#define HOLLOWMARCH_SETTINGS_REGISTRY_STORE_H_

#include <optional>
#include <string>

#include "platform/types.h"
#include "settings/sync_state_cache.h"

constexpr DWORD kDefaultPurgeDays = 90;
constexpr WORD kDefaultPort = 40141;

// Access mask used to open and create the key (read and write).
constexpr DWORD kSettingsKeyAccess = 0x2001F;

// The settings key, opened (never created); the caller closes it with
// RegCloseKey. 0 when it cannot be opened.
HKEY OpenSettingsKey();

// The settings key, creating Software, Apps and Hollowmarch where missing;
// the caller closes it. 0 when any step fails (the keys opened on the way are
// closed again).
HKEY CreateSettingsKey();

// PurgeDays: the age limit of change entries in days. 90 when the key or the
// value is missing, or the value is not a 4-byte REG_DWORD. 0 is returned as
// 0. Never creates the key.
DWORD GetPurgeDays();

// KeepChangeLogs: whether a close keeps the change logs and hands the
// notification journal on, so that a later start may keep the logs the
// journal vouches for (shell/window_proc.cc). True when the value is a
// 4-byte REG_DWORD other than 0; false when the key or the value is missing
// or of another type. Never creates the key.
bool GetKeepChangeLogs();

// Port: the low 16 bits of the stored number whatever the value's type, when
// it holds at least 4 bytes; 40141 otherwise. No range check (70000 gives
// 4464). Never creates the key.
WORD GetPort();
// The number Port holds, whole, when it fills 4 bytes (any type); nullopt
// when the key or the value is missing or shorter. For the program's start,
// which refuses a number that is no port rather than take its low 16 bits.
std::optional<DWORD> GetStoredPort();

// What a REG_SZ setting holds: ListenAddress (the IPv4 address the server
// binds) or AllowedPeers (the addresses and ranges of the peers it serves).
enum class TextSetting {
  kMissing,  // no key or no value: the server binds every address, serves every peer
  kText,     // a REG_SZ value; its text is handed out
  kNotText,  // a value of another type or too long, or text that is not UTF-16
  kUnreadable,  // the key or the value could not be read (an I/O error)
};
// The setting, read as it is: for kText, *text is the value's text in UTF-8
// up to its first NUL (no check of its form; a REG_SZ without a NUL counts
// whole). *text is empty otherwise. Unlike the other accessors, a key that
// fails to open is not taken for a missing one: a choice that narrows who
// reaches the server must not widen because of a failure. Never creates the
// key.
TextSetting GetListenAddress(std::string* text);
TextSetting GetAllowedPeers(std::string* text);

// The class's sync state: from its cache slot when that holds a value, else
// SyncState_<class> from the registry (0 when missing or not REG_DWORD; the
// key is created where missing). A registry read never fills the cache.
DWORD GetSyncState(const SyncStateCache& cache, DWORD dataClass);

// SyncState_<class> as the registry holds it, whatever the cache says (0
// when missing or not REG_DWORD).
DWORD GetStoredSyncState(DWORD dataClass);

// The raw writers of SyncState_<class> and SyncTime_<class>. Together they
// carry the promise that a class's log is complete from its sync time on,
// which only tracking/sync_horizon.h keeps: the program writes them through
// it alone (tests may prepare a registry with them).
//
// Writes SyncState_<class>. False when the key cannot be opened or created
// (cache untouched) or when the write fails. A class with a cache slot has
// its slot set to `state` once the key was opened, even when the write then
// fails: the process goes on with the new state while the registry keeps the
// old one.
bool SetSyncState(SyncStateCache& cache, DWORD dataClass, DWORD state);

// Called after every SetSyncState that reached the key, with the class and
// its new state (already in the cache), on the caller's thread and so under
// the process-wide lock. One process-wide observer; null (the start) for
// none. It must not call SetSyncState.
using SyncStateObserver = void (*)(DWORD dataClass, DWORD state);
void SetSyncStateObserver(SyncStateObserver observer);

// SyncTime_<class>: the time from which the class's change log is complete;
// 0 when missing or not REG_DWORD (the key is created where missing).
DWORD GetSyncTime(DWORD dataClass);
// Writes SyncTime_<class>; false when the key or the write fails.
bool SetSyncTime(DWORD dataClass, DWORD time);
// LastSyncTime_<class>: the device time last answered to a command that
// enables the class; 0 when missing or not REG_DWORD.
DWORD GetLastSyncTime(DWORD dataClass);
// Writes LastSyncTime_<class>; false when the key or the write fails.
bool SetLastSyncTime(DWORD dataClass, DWORD time);

// The value name "<stem>_<class>" as UTF-16 (NUL-terminated in c_str()).
std::u16string ClassValueName(const char* stem, DWORD dataClass);

#endif  // HOLLOWMARCH_SETTINGS_REGISTRY_STORE_H_
