// hmdevice: plays the handheld's other applications against a device root.
// Parses the command line and runs one command; the commands live in
// tools/hmdevice_*.h.
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "hm_version.h"

#include "platform/device.h"
#include "tools/cli_help.h"
#include "tools/hmdevice_io.h"
#include "tools/hmdevice_registry.h"
#include "tools/hmdevice_store.h"
#include "tools/hmdevice_shell.h"
#include "tools/hmdevice_system.h"

namespace {

using hmdevice::Io;

// Options of every command; CLI11 writes into them while parsing.
struct Options {
  std::string root;
  bool json = false;
  bool demo = false;
  std::string name;
  std::string db;
  std::string oid;
  std::string type;
  std::optional<std::string> optional_type;
  std::string value;
  std::string reg_type = "dword";
  std::string key = hmdevice::kDefaultRegistryKey;
  std::optional<std::string> first;
  std::optional<std::string> second;
  std::optional<std::string> third;
  std::vector<std::string> props;
};

using Action = std::function<int(Io&)>;

void AddDbCommands(CLI::App& app, Options& o, Action& action) {
  CLI::App* db = app.add_subcommand("db", "create, list and delete the device's databases")->require_subcommand(1);

  CLI::App* create = db->add_subcommand("create", "create a database; prints its identifier");
  create->add_option("NAME", o.name, "the new database's name")->required();
  create->add_option("--type", o.type, "its type: 24 contacts, 25 appointments, 26 tasks, 291 notes, or any number")
      ->required();
  create->callback([&] { action = [&](Io& io) { return hmdevice::CreateDatabaseCommand(io, o.name, o.type); }; });

  CLI::App* list = db->add_subcommand("list", "list databases");
  list->add_option("--type", o.optional_type, "only the databases of this type");
  list->add_flag("--json", o.json, "print one JSON array");
  list->callback([&] { action = [&](Io& io) { return hmdevice::ListDatabasesCommand(io, o.optional_type, o.json); }; });

  CLI::App* remove = db->add_subcommand("delete", "delete a database and its records");
  remove->add_option("DB", o.db, "the database: its name, or @ and its identifier")->required();
  remove->callback([&] { action = [&](Io& io) { return hmdevice::DeleteDatabaseCommand(io, o.db); }; });
}

void AddRecCommands(CLI::App& app, Options& o, Action& action) {
  CLI::App* rec = app.add_subcommand("rec", "add, change, delete, list and import the records of a database")
                     ->require_subcommand(1);

  CLI::App* add = rec->add_subcommand("add", "add a record; prints its identifier");
  add->add_option("DB", o.db, "the database: its name, or @ and its identifier")->required();
  add->add_option("PROP=VALUE", o.props, "a property: its identifier (the low 16 bits give the type) and value");
  add->callback([&] { action = [&](Io& io) { return hmdevice::AddRecordCommand(io, o.db, o.props); }; });

  CLI::App* set = rec->add_subcommand("set", "write properties into an existing record");
  set->add_option("DB", o.db, "the database: its name, or @ and its identifier")->required();
  set->add_option("OID", o.oid, "the record's identifier")->required();
  set->add_option("PROP=VALUE", o.props, "a property: its identifier (the low 16 bits give the type) and value")
      ->required();
  set->callback([&] { action = [&](Io& io) { return hmdevice::SetRecordCommand(io, o.db, o.oid, o.props); }; });

  CLI::App* remove = rec->add_subcommand("delete", "delete a record");
  remove->add_option("DB", o.db, "the database: its name, or @ and its identifier")->required();
  remove->add_option("OID", o.oid, "the record's identifier")->required();
  remove->callback([&] { action = [&](Io& io) { return hmdevice::DeleteRecordCommand(io, o.db, o.oid); }; });

  CLI::App* list = rec->add_subcommand("list", "list records in read order");
  list->add_option("DB", o.db, "the database: its name, or @ and its identifier")->required();
  list->add_flag("--json", o.json, "print one JSON array, in the form rec import reads");
  list->callback([&] { action = [&](Io& io) { return hmdevice::ListRecordsCommand(io, o.db, o.json); }; });

  CLI::App* import = rec->add_subcommand("import", "append JSON records from standard input, all or none");
  import->add_option("DB", o.db, "the database: its name, or @ and its identifier")->required();
  import->callback([&] { action = [&](Io& io) { return hmdevice::ImportRecordsCommand(io, o.db); }; });
}

void AddRegCommands(CLI::App& app, Options& o, Action& action) {
  CLI::App* reg = app.add_subcommand("reg", "read and write the device's registry (the server's settings)")
                     ->require_subcommand(1);
  auto add_key = [&](CLI::App* command) {
    command->add_option("--key", o.key, "the registry key (HKLM, HKCU, HKCR may be abbreviated)")
        ->capture_default_str();
  };

  CLI::App* get = reg->add_subcommand("get", "print a value; exit 1 when missing");
  get->add_option("NAME", o.name, "the value's name, like Port or SyncState_24")->required();
  add_key(get);
  get->callback([&] { action = [&](Io& io) { return hmdevice::GetRegistryValueCommand(io, o.name, o.key); }; });

  CLI::App* set = reg->add_subcommand("set", "write a value");
  set->add_option("NAME", o.name, "the value's name, like Port or ListenAddress")->required();
  set->add_option("VALUE", o.value, "a number for dword, text for sz, hex bytes for binary")->required();
  set->add_option("--type", o.reg_type, "dword (a number), sz (text) or binary")->capture_default_str();
  add_key(set);
  set->callback([&] {
    action = [&](Io& io) { return hmdevice::SetRegistryValueCommand(io, o.name, o.value, o.reg_type, o.key); };
  });

  CLI::App* remove = reg->add_subcommand("delete", "delete a value");
  remove->add_option("NAME", o.name, "the value's name")->required();
  add_key(remove);
  remove->callback([&] { action = [&](Io& io) { return hmdevice::DeleteRegistryValueCommand(io, o.name, o.key); }; });

  CLI::App* list = reg->add_subcommand("list", "list the values of a key");
  add_key(list);
  list->add_flag("--json", o.json, "print one JSON array");
  list->callback([&] { action = [&](Io& io) { return hmdevice::ListRegistryValuesCommand(io, o.key, o.json); }; });
}

void AddDeviceCommands(CLI::App& app, Options& o, Action& action) {
  CLI::App* init = app.add_subcommand("init", "create the device (with --demo: and its demo content)");
  init->add_flag("--demo", o.demo, "also add the demo databases and records, where missing");
  init->callback([&] { action = [&](Io& io) { return hmdevice::InitCommand(io, o.demo); }; });

  CLI::App* config = app.add_subcommand("config", "device settings: os-version, store-capacity, timezone, clock-offset");
  config->add_option("KEY", o.first, "the setting; without it every setting is printed");
  config->add_option("VALUE", o.second, "its new value; without it the value is printed");
  config->callback([&] { action = [&](Io& io) { return hmdevice::ConfigCommand(io, o.first, o.second); }; });

  CLI::App* reset = app.add_subcommand("reset", "soft reset: the device's uptime starts again at 0");
  reset->callback([&] { action = [&](Io& io) { return hmdevice::ResetCommand(io); }; });

  CLI::App* send = app.add_subcommand("send", "send a message to the system's window; prints the result");
  send->add_option("MSG", o.first, "the message number, like 0x8005 (start a class's change list)")->required();
  send->add_option("WPARAM", o.second, "its first argument (default 0)");
  send->add_option("LPARAM", o.third, "its second argument (default 0)");
  send->callback([&] { action = [&](Io& io) { return hmdevice::SendCommand(io, *o.first, o.second, o.third); }; });

  CLI::App* notifications = app.add_subcommand("notifications", "list the user notifications (alarms) set");
  notifications->add_flag("--json", o.json, "print one JSON array");
  notifications->callback([&] { action = [&](Io& io) { return hmdevice::NotificationsCommand(io, o.json); }; });

  CLI::App* changes = app.add_subcommand("changes", "a class's change list, newest first, from the running system");
  changes->add_option("CLASS", o.name, "data class: 24, 25, 26, 291 or 5454")->required();
  changes->add_option("--since", o.second, "the earliest change time wanted (seconds since 1970)");
  changes->add_flag("--json", o.json, "print one JSON array");
  changes->callback([&] { action = [&](Io& io) { return hmdevice::ChangesCommand(io, o.name, o.second, o.json); }; });

  CLI::App* status = app.add_subcommand("status", "whether the system runs, and each class's sync state and logs");
  status->add_flag("--json", o.json, "print one JSON object");
  status->callback([&] { action = [&](Io& io) { return hmdevice::StatusCommand(io, o.json); }; });
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Plays the handheld's other applications against a device: its databases, records, "
               "registry and settings, and messages to the running system.",
               "hmdevice");
  app.require_subcommand(1);
  // The global options are taken after the command too (subcommands are
  // made after this and inherit it).
  app.fallthrough();
  app.set_version_flag("--version", HM_VERSION);
  Options options;
  Action action;
  app.add_option("--root", options.root,
                 "the device's folder (else $HOLLOWMARCH_ROOT, else ~/.local/state/hollowmarch)");
  AddDbCommands(app, options, action);
  AddRecCommands(app, options, action);
  AddRegCommands(app, options, action);
  AddDeviceCommands(app, options, action);
  tools::FooterOnEverySubcommand(
      app, "Global options, before or after the command:\n"
           "  --root DIR   the device's folder (else $HOLLOWMARCH_ROOT, else ~/.local/state/hollowmarch)\n"
           "  --help       this help; --version  the version");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "hmdevice: " << e.what() << "\n";
    return hmdevice::kExitBadInput;
  }
  if (!action) {
    std::cerr << "hmdevice: no command given\n";
    return hmdevice::kExitBadInput;
  }

  if (app.count("--root") > 0 && options.root.empty()) {
    std::cerr << "hmdevice: --root is empty; name the device's folder\n";
    return hmdevice::kExitBadInput;
  }
  // Only init makes a device; every other command works on one that exists.
  const std::string root = platform::ResolveDeviceRoot(options.root);
  const bool creates = app.got_subcommand("init");
  if (!creates && !platform::HoldsDevice(root)) {
    std::cerr << "hmdevice: no device at " << root << " (create one with `hmdevice init`)\n";
    return hmdevice::kExitBadInput;
  }
  platform::Status opened = platform::OpenDevice(
      root, creates ? platform::DeviceCreation::kCreateIfEmpty : platform::DeviceCreation::kOpenOnly);
  if (!opened.ok()) {
    std::cerr << "hmdevice: cannot open the device: " << opened.message() << "\n";
    return hmdevice::kExitFailed;
  }
  Io io{std::cin, std::cout, std::cerr};
  const int code = action(io);
  std::cout.flush();
  platform::CloseDevice();
  return code;
}
