// hmpeer's commands but sync (tools/hmpeer_sync.h): each checks its
// arguments first (a usage error sends nothing), then connects and says
// hello through the session, sends its requests, prints the result (text,
// or one JSON document with --json) and ends the session. Each returns the
// exit status (tools/hmpeer_session.h).
//
// CLASS is 24, 25, 26, 291 or 5454; a time is seconds since 1970 or
// "YYYY-MM-DDTHH:MM:SS" (UTC).
#ifndef HOLLOWMARCH_TOOLS_HMPEER_COMMANDS_H_
#define HOLLOWMARCH_TOOLS_HMPEER_COMMANDS_H_

#include <optional>
#include <string>

#include "tools/hmpeer_session.h"

namespace hmpeer {

// Seconds since 1970, or "YYYY-MM-DDTHH:MM:SS" (optionally ending in "Z")
// taken as UTC.
bool ParseTime(const std::string& text, uint32_t* out);

int HelloCommand(Session& s);
// Query 4: whether the class's recorded changes reach back to `since`.
int StateCommand(Session& s, const std::string& cls, const std::optional<std::string>& since);
// Query 5: the class's recorded changes from `since` on, newest first.
int ChangesCommand(Session& s, const std::string& cls, const std::optional<std::string>& since);
// Command 6; prints the device time.
int EnableCommand(Session& s, const std::string& cls);
// Loads the class's changes (query 5), then command 16 for record `oid`.
int ForgetCommand(Session& s, const std::string& cls, const std::string& oid);
// Command 17.
int DisableCommand(Session& s, const std::string& cls);
int FlushCommand(Session& s);    // command 3
int SuspendCommand(Session& s);  // command 2
int ResumeCommand(Session& s);   // command 7

struct AlarmArgs {
  std::string handle = "0";
  std::string at;     // UTC, turned into device time by the device's zone (query 8)
  bool local = false;  // `at` is device time already
  std::string app, title, text, sound;  // UTF-8
  int flags = 0;
};
// Command 9 setting a notification; prints its handle and the device time
// it was set for.
int AlarmSetCommand(Session& s, const AlarmArgs& args);
// Command 9 clearing notification `handle`.
int AlarmClearCommand(Session& s, const std::string& handle);

// Query 8: the device's time zone.
int TimeZoneCommand(Session& s);
// Query 15 for a volume (0 Storage Card, 1 Program Files, other: the store).
int FreeCommand(Session& s, const std::string& volume);
// Commands 10 to 13: every record of a database (a name, or '@' and its
// identifier). The records read are printed also when the reading fails.
int DumpDatabaseCommand(Session& s, const std::string& db);
// The end of session, asking the device to close its application when
// `shutdown` is set.
int EndCommand(Session& s, bool shutdown);

}  // namespace hmpeer

#endif  // HOLLOWMARCH_TOOLS_HMPEER_COMMANDS_H_
