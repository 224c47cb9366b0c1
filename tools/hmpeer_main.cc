// hmpeer: the desktop side. A client for every message of the protocol, and
// a reference fast/slow sync into a mirror directory. Parses the command
// line and runs one command; the commands live in tools/hmpeer_commands.h
// and tools/hmpeer_sync.h.
//
//   hmpeer [--host H] [--port P] [--json] [--trace] [--timeout S] COMMAND
//
// Exit status: 0 done, 1 the device refused or answered out of shape, 2
// usage, 3 connection failure (refused, closed, timed out).
#include <functional>
#include <iostream>
#include <optional>
#include <string>

#include "CLI/CLI.hpp"
#include "hm_version.h"
#include "tools/cli_help.h"
#include "tools/hmpeer_commands.h"
#include "tools/hmpeer_session.h"
#include "tools/hmpeer_sync.h"

namespace {

using hmpeer::Session;

// Arguments of every command; CLI11 writes into them while parsing.
struct Options {
  hmpeer::GlobalOptions global;
  std::string cls;
  std::optional<std::string> since;
  std::string oid;
  std::string db;
  std::string volume;
  std::string handle;
  bool shutdown = false;
  hmpeer::AlarmArgs alarm;
  hmpeer::SyncArgs sync;
};

using Action = std::function<int(Session&)>;

void AddGlobalOptions(CLI::App& app, hmpeer::GlobalOptions& g) {
  app.add_option("--host", g.host, "the device's IPv4 address or host name")->capture_default_str();
  app.add_option("--port", g.port, "the device's TCP port, 1 to 65535")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_flag("--json", g.json, "one JSON document on standard output");
  app.add_flag("--trace", g.trace, "every frame sent and received, in words and hex, on standard error");
  app.add_option("--timeout", g.timeout, "seconds to wait for the connection and for each reply")
      ->check(CLI::Range(0.001, 86400.0))
      ->capture_default_str();
}

void AddQueryCommands(CLI::App& app, Options& o, Action& action) {
  app.add_subcommand("hello", "say hello to the device and end the session: is it there?")->callback([&] { action = hmpeer::HelloCommand; });

  CLI::App* state = app.add_subcommand(
      "state", "whether the device recorded every change of a class since a time (query 4): complete, "
               "untracked or incomplete");
  state->add_option("CLASS", o.cls, "the data class: 24 contacts, 25 appointments, 26 tasks, 291 notes, 5454 mail")->required();
  state->add_option("--since", o.since, "the time: seconds since 1970 or YYYY-MM-DDTHH:MM:SS (UTC)");
  state->callback([&] { action = [&](Session& s) { return hmpeer::StateCommand(s, o.cls, o.since); }; });

  CLI::App* changes = app.add_subcommand("changes", "the changes the device recorded for a class (query 5)");
  changes->add_option("CLASS", o.cls, "the data class: 24 contacts, 25 appointments, 26 tasks, 291 notes, 5454 mail")->required();
  changes->add_option("--since", o.since, "only changes from this time: seconds since 1970 or YYYY-MM-DDTHH:MM:SS");
  changes->callback([&] { action = [&](Session& s) { return hmpeer::ChangesCommand(s, o.cls, o.since); }; });

  app.add_subcommand("timezone", "the device's time zone: its bias and names (query 8)")->callback([&] { action = hmpeer::TimeZoneCommand; });

  CLI::App* free = app.add_subcommand("free", "free space of a volume of the device (query 15)");
  free->add_option("VOLUME", o.volume, "the volume: 0 Storage Card, 1 Program Files, 2 the object store")
      ->required();
  free->callback([&] { action = [&](Session& s) { return hmpeer::FreeCommand(s, o.volume); }; });
}

void AddTrackingCommands(CLI::App& app, Options& o, Action& action) {
  CLI::App* enable = app.add_subcommand("enable", "make the device record a class's changes (command 6)");
  enable->add_option("CLASS", o.cls, "the data class: 24 contacts, 25 appointments, 26 tasks, 291 notes, 5454 mail")->required();
  enable->callback([&] { action = [&](Session& s) { return hmpeer::EnableCommand(s, o.cls); }; });

  CLI::App* disable = app.add_subcommand("disable", "stop recording a class's changes (command 17)");
  disable->add_option("CLASS", o.cls, "the data class: 24 contacts, 25 appointments, 26 tasks, 291 notes, 5454 mail")->required();
  disable->callback([&] { action = [&](Session& s) { return hmpeer::DisableCommand(s, o.cls); }; });

  CLI::App* forget = app.add_subcommand(
      "forget", "remove the recorded change of one record, so that the next fast sync skips it (command 16)");
  forget->add_option("CLASS", o.cls, "the data class: 24 contacts, 25 appointments, 26 tasks, 291 notes, 5454 mail")->required();
  forget->add_option("OID", o.oid, "the record's identifier")->required();
  forget->callback([&] { action = [&](Session& s) { return hmpeer::ForgetCommand(s, o.cls, o.oid); }; });

  app.add_subcommand("flush", "write the loaded change list back and release it (command 3)")->callback([&] { action = hmpeer::FlushCommand; });
  app.add_subcommand("suspend", "make the device drop changes until this session ends (command 2)")->callback([&] { action = hmpeer::SuspendCommand; });
  app.add_subcommand("resume", "make the device record changes again, for this session (command 7)")->callback([&] { action = hmpeer::ResumeCommand; });
}

void AddAlarmCommands(CLI::App& app, Options& o, Action& action) {
  CLI::App* alarm =
      app.add_subcommand("alarm", "set or clear an alarm notification on the device (command 9)")->require_subcommand(1);

  CLI::App* set = alarm->add_subcommand("set", "set a notification");
  set->add_option("--handle", o.alarm.handle, "replace the notification with this handle (default: a new one)");
  set->add_option("--at", o.alarm.at, "UTC, seconds since 1970 or YYYY-MM-DDTHH:MM:SS")->required();
  set->add_flag("--local", o.alarm.local, "--at is the device's local time already");
  set->add_option("--app", o.alarm.app, "the application to run (default CALENDAR.EXE)");
  set->add_option("--title", o.alarm.title, "the dialog's title (default Alarm Reminder)");
  set->add_option("--text", o.alarm.text, "the dialog's text (default Alarm Message)");
  set->add_option("--sound", o.alarm.sound, "the sound to play (default Alarm1.wav)");
  set->add_option("--flags", o.alarm.flags, "the notification's action flags, 0 to 255");
  set->callback([&] { action = [&](Session& s) { return hmpeer::AlarmSetCommand(s, o.alarm); }; });

  CLI::App* clear = alarm->add_subcommand("clear", "clear a notification");
  clear->add_option("HANDLE", o.handle, "the handle alarm set printed")->required();
  clear->callback([&] { action = [&](Session& s) { return hmpeer::AlarmClearCommand(s, o.handle); }; });
}

void AddDataCommands(CLI::App& app, Options& o, Action& action) {
  CLI::App* dump = app.add_subcommand("dump", "every record of a database of the device (commands 10 to 13)");
  dump->add_option("DB", o.db, "the database: its name, or @ and its identifier")->required();
  dump->callback([&] { action = [&](Session& s) { return hmpeer::DumpDatabaseCommand(s, o.db); }; });

  CLI::App* end = app.add_subcommand("end", "say hello, then end the session");
  end->add_flag("--shutdown", o.shutdown,
                "ask the device to close its server as well (unless its KeepChangeLogs is set, its change logs are deleted and the next syncs are slow)");
  end->callback([&] { action = [&](Session& s) { return hmpeer::EndCommand(s, o.shutdown); }; });

  CLI::App* sync = app.add_subcommand("sync", "fast or slow sync of each class into a mirror directory");
  sync->add_option("--to", o.sync.to, "the mirror's folder (made private where missing)")->required();
  sync->add_option("--class", o.sync.classes, "sync only this class (repeatable; default: all five)");
  sync->add_option("--db", o.sync.dbs, "CLASS=NAME or CLASS=@OID: a database the class mirrors (repeatable)");
  sync->add_option("--watch", o.sync.watch, "SECONDS: stay connected and sync again every SECONDS")
      ->check(CLI::Range(0.1, 86400.0));
  sync->callback([&] { action = [&](Session& s) { return hmpeer::SyncCommand(s, o.sync); }; });
}

// A usage error, before any session: the line on standard error, and the
// JSON error object when --json is among the arguments (the parse may have
// stopped before it).
int UsageError(int argc, char** argv, const std::string& message) {
  std::cerr << "hmpeer: " << message << "\n";
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--json") {
      hmpeer::PrintJsonError(std::cout, hmpeer::kExitUsage, message);
      break;
    }
  }
  return hmpeer::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("hmpeer: the desktop side of Hollowmarch", "hmpeer");
  app.require_subcommand(1);
  app.set_version_flag("--version", HM_VERSION);
  // The global options are taken after the command too (subcommands are
  // made after this and inherit it).
  app.fallthrough();
  Options o;
  Action action;
  AddGlobalOptions(app, o.global);
  AddQueryCommands(app, o, action);
  AddTrackingCommands(app, o, action);
  AddAlarmCommands(app, o, action);
  AddDataCommands(app, o, action);
  tools::FooterOnEverySubcommand(
      app, "Global options, before or after the command:\n"
           "  --host H      the device's IPv4 address or host name (default 127.0.0.1)\n"
           "  --port P      the device's TCP port, 1 to 65535 (default 40141)\n"
           "  --json        one JSON document on standard output (a failure: an object with error)\n"
           "  --trace       every frame sent and received, on standard error\n"
           "  --timeout S   seconds to wait for the connection and each reply (default 5)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return UsageError(argc, argv, e.what());
  }
  if (!action) return UsageError(argc, argv, "no command given");
  Session session(o.global, std::cout, std::cerr);
  return action(session);
}
