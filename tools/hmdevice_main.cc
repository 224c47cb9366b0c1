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
  CLI::App* db = app.add_subcommand("db", "databases")->require_subcommand(1);

  CLI::App* create = db->add_subcommand("create", "create a database; prints its identifier");
  create->add_option("NAME", o.name)->required();
  create->add_option("--type", o.type, "database type")->required();
  create->callback([&] { action = [&](Io& io) { return hmdevice::CreateDatabaseCommand(io, o.name, o.type); }; });

  CLI::App* list = db->add_subcommand("list", "list databases");
  list->add_option("--type", o.optional_type, "only this type");
  list->add_flag("--json", o.json);
  list->callback([&] { action = [&](Io& io) { return hmdevice::ListDatabasesCommand(io, o.optional_type, o.json); }; });

  CLI::App* remove = db->add_subcommand("delete", "delete a database and its records");
  remove->add_option("DB", o.db)->required();
  remove->callback([&] { action = [&](Io& io) { return hmdevice::DeleteDatabaseCommand(io, o.db); }; });
}

void AddRecCommands(CLI::App& app, Options& o, Action& action) {
  CLI::App* rec = app.add_subcommand("rec", "records")->require_subcommand(1);

  CLI::App* add = rec->add_subcommand("add", "add a record; prints its identifier");
  add->add_option("DB", o.db)->required();
  add->add_option("PROP=VALUE", o.props);
  add->callback([&] { action = [&](Io& io) { return hmdevice::AddRecordCommand(io, o.db, o.props); }; });

  CLI::App* set = rec->add_subcommand("set", "write properties into an existing record");
  set->add_option("DB", o.db)->required();
  set->add_option("OID", o.oid)->required();
  set->add_option("PROP=VALUE", o.props)->required();
  set->callback([&] { action = [&](Io& io) { return hmdevice::SetRecordCommand(io, o.db, o.oid, o.props); }; });

  CLI::App* remove = rec->add_subcommand("delete", "delete a record");
  remove->add_option("DB", o.db)->required();
  remove->add_option("OID", o.oid)->required();
  remove->callback([&] { action = [&](Io& io) { return hmdevice::DeleteRecordCommand(io, o.db, o.oid); }; });

  CLI::App* list = rec->add_subcommand("list", "list records in read order");
  list->add_option("DB", o.db)->required();
  list->add_flag("--json", o.json);
  list->callback([&] { action = [&](Io& io) { return hmdevice::ListRecordsCommand(io, o.db, o.json); }; });

  CLI::App* import = rec->add_subcommand("import", "append JSON records from standard input, all or none");
  import->add_option("DB", o.db)->required();
  import->callback([&] { action = [&](Io& io) { return hmdevice::ImportRecordsCommand(io, o.db); }; });
}

void AddRegCommands(CLI::App& app, Options& o, Action& action) {
  CLI::App* reg = app.add_subcommand("reg", "registry values")->require_subcommand(1);
  auto add_key = [&](CLI::App* command) {
    command->add_option("--key", o.key, "registry key")->capture_default_str();
  };

  CLI::App* get = reg->add_subcommand("get", "print a value; exit 1 when missing");
  get->add_option("NAME", o.name)->required();
  add_key(get);
  get->callback([&] { action = [&](Io& io) { return hmdevice::GetRegistryValueCommand(io, o.name, o.key); }; });

  CLI::App* set = reg->add_subcommand("set", "write a value");
  set->add_option("NAME", o.name)->required();
  set->add_option("VALUE", o.value)->required();
  set->add_option("--type", o.reg_type, "dword, sz or binary")->capture_default_str();
  add_key(set);
  set->callback([&] {
    action = [&](Io& io) { return hmdevice::SetRegistryValueCommand(io, o.name, o.value, o.reg_type, o.key); };
  });

  CLI::App* remove = reg->add_subcommand("delete", "delete a value");
  remove->add_option("NAME", o.name)->required();
  add_key(remove);
  remove->callback([&] { action = [&](Io& io) { return hmdevice::DeleteRegistryValueCommand(io, o.name, o.key); }; });

  CLI::App* list = reg->add_subcommand("list", "list the values of a key");
  add_key(list);
  list->add_flag("--json", o.json);
  list->callback([&] { action = [&](Io& io) { return hmdevice::ListRegistryValuesCommand(io, o.key, o.json); }; });
}

void AddDeviceCommands(CLI::App& app, Options& o, Action& action) {
  CLI::App* init = app.add_subcommand("init", "create the device (with --demo: and its demo content)");
  init->add_flag("--demo", o.demo);
  init->callback([&] { action = [&](Io& io) { return hmdevice::InitCommand(io, o.demo); }; });

  CLI::App* config = app.add_subcommand("config", "device settings: os-version, store-capacity, timezone, clock-offset");
  config->add_option("KEY", o.first);
  config->add_option("VALUE", o.second);
  config->callback([&] { action = [&](Io& io) { return hmdevice::ConfigCommand(io, o.first, o.second); }; });

  CLI::App* reset = app.add_subcommand("reset", "soft reset: uptime starts again at 0");
  reset->callback([&] { action = [&](Io& io) { return hmdevice::ResetCommand(io); }; });

  CLI::App* send = app.add_subcommand("send", "send a message to the system's window; prints the result");
  send->add_option("MSG", o.first)->required();
  send->add_option("WPARAM", o.second);
  send->add_option("LPARAM", o.third);
  send->callback([&] { action = [&](Io& io) { return hmdevice::SendCommand(io, *o.first, o.second, o.third); }; });

  CLI::App* notifications = app.add_subcommand("notifications", "list the user notifications (alarms) set");
  notifications->add_flag("--json", o.json);
  notifications->callback([&] { action = [&](Io& io) { return hmdevice::NotificationsCommand(io, o.json); }; });

  CLI::App* changes = app.add_subcommand("changes", "a class's change list, newest first, from the running system");
  changes->add_option("CLASS", o.name, "data class: 24, 25, 26, 291 or 5454")->required();
  changes->add_option("--since", o.second, "earliest change time wanted (seconds since 1970)");
  changes->add_flag("--json", o.json);
  changes->callback([&] { action = [&](Io& io) { return hmdevice::ChangesCommand(io, o.name, o.second, o.json); }; });

  CLI::App* status = app.add_subcommand("status", "whether the system runs, and each class's sync state and logs");
  status->add_flag("--json", o.json);
  status->callback([&] { action = [&](Io& io) { return hmdevice::StatusCommand(io, o.json); }; });
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Plays the handheld's other applications against a device.", "hmdevice");
  app.require_subcommand(1);
  app.set_version_flag("--version", HM_VERSION);
  Options options;
  Action action;
  app.add_option("--root", options.root, "device root directory");
  AddDbCommands(app, options, action);
  AddRecCommands(app, options, action);
  AddRegCommands(app, options, action);
  AddDeviceCommands(app, options, action);

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

  platform::Status opened = platform::OpenDevice(platform::ResolveDeviceRoot(options.root));
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
