// hollowmarch: the fast-sync server of the handheld.
//
//   hollowmarch [--root DIR] [--listen ADDR] [--allow PEERS] [--verbose] [--] [COMMAND LINE ...]
//   hollowmarch --version | --help
//
// The words after the options, joined by single blanks, are the command line
// ("Shutdown", "AppRunAfterRestore" or anything else). Runs in the
// foreground until it is closed. The address to listen on, the peers to
// serve and the port are checked before anything else is done, except for
// "Shutdown", which listens nowhere (a malformed ListenAddress must not keep
// the running instance from being stopped). A usage error exits 2.
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CLI/CLI.hpp"
#include "hm_version.h"
#include "platform/codepage.h"
#include "platform/device.h"
#include "platform/log.h"
#include "server/peer_allow_list.h"
#include "shell/close_signals.h"
#include "settings/registry_store.h"
#include "shell/listen_address.h"
#include "shell/process_objects.h"
#include "shell/string_table.h"
#include "shell/startup.h"
#include "tracking/trace.h"

namespace {

std::u16string Utf8ToUtf16(const std::string& s) {
  if (s.empty()) return std::u16string();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(n > 0 ? n : 0), u'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

// What the server will serve, from the options and the registry: the
// address to listen on, the peers to serve and the port. False with *error
// for a choice that is malformed (never replaced by a wider one) or a Port
// that is no port (its low 16 bits would be some other port, 0 a random one).
bool ResolveServing(const std::string* listen, const std::string* allow, DWORD* address,
                    PeerAllowList* allowed, std::string* error) {
  if (!ResolveListenAddress(listen, address, error)) return false;
  if (!ResolveAllowedPeers(allow, allowed, error)) return false;
  const std::optional<DWORD> port = GetStoredPort();
  if (port && (*port == 0 || *port > 0xFFFF)) {
    *error = "the registry value Port is " + std::to_string(*port) +
             ", which is no port (1 to 65535); correct it, or delete it for the default 40141";
    return false;
  }
  return true;
}

// The command line is the system's whatever it says, but a word that is
// nearly a keyword is most likely one misspelt: the person is told that the
// system runs (and so closes the running instance) instead.
void WarnAboutCommandLine(const std::string& command_line) {
  if (command_line.empty()) return;
  platform::Logf(platform::LogPriority::kWarning,
                 "hollowmarch: the command line \"%s\" is neither Shutdown nor AppRunAfterRestore; "
                 "running the system (a running instance is closed)",
                 command_line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  // Before any other thread: they all inherit the blocked signals.
  CloseOnSignals closeOnSignals;
  CLI::App app{"hollowmarch: the handheld's fast-sync server"};
  std::string root;
  bool verbose = false;
  std::vector<std::string> words;
  std::string listen;
  app.add_option("--root", root, "device root (else $HOLLOWMARCH_ROOT, else the user's state folder)");
  CLI::Option* listen_option =
      app.add_option("--listen", listen,
                     "the IPv4 address to serve on (else the registry value ListenAddress, else every address)");
  std::string allow;
  CLI::Option* allow_option = app.add_option(
      "--allow", allow,
      "the peers served: IPv4 addresses and ranges separated by commas, like 127.0.0.1,192.168.1.0/24 "
      "(else the registry value AllowedPeers, else every peer)");
  app.add_flag("--verbose", verbose, "write trace lines to standard error");
  app.add_option("command_line", words, "the command line: Shutdown, AppRunAfterRestore or anything else");
  app.set_version_flag("--version", HM_VERSION);
  app.allow_extras(false);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "hollowmarch: " << e.what() << "\nusage: hollowmarch [--root DIR] [--listen ADDR] "
              << "[--allow PEERS] [--verbose] [--] [COMMAND LINE ...]; hollowmarch --help tells more\n";
    return 2;
  }

  std::string command_line;
  for (size_t i = 0; i < words.size(); ++i) command_line += (i ? " " : "") + words[i];

  if (app.count("--root") > 0 && root.empty()) {
    platform::WriteLog(platform::LogPriority::kError, "hollowmarch: --root is empty; name the device's folder");
    return 2;
  }
  platform::Status s = platform::OpenDevice(platform::ResolveDeviceRoot(root));
  if (!s.ok()) {
    platform::Logf(platform::LogPriority::kError, "hollowmarch: %s", s.message().c_str());
    return 2;
  }
  const std::u16string wide_command_line = Utf8ToUtf16(command_line);
  DWORD address = 0;
  PeerAllowList allowed;
  std::string serving_error;
  const bool shutdown = IsKeyword(wide_command_line.c_str(), kKeywordShutdown);
  if (!shutdown && !ResolveServing(listen_option->count() > 0 ? &listen : nullptr,
                                   allow_option->count() > 0 ? &allow : nullptr, &address, &allowed,
                                   &serving_error)) {
    platform::Logf(platform::LogPriority::kError, "hollowmarch: %s", serving_error.c_str());
    platform::CloseDevice();
    return 2;
  }
  if (!shutdown && !IsKeyword(wide_command_line.c_str(), kKeywordAppRunAfterRestore)) {
    WarnAboutCommandLine(command_line);
  }
  SetTraceToStderr(verbose);
  RegisterProgramStrings();

  int status;
  {
    // The process-wide objects live from here to the end of this scope and
    // are destroyed in the reverse order of their construction.
    auto objects = std::make_unique<ProcessObjects>(0, address, std::move(allowed));
    objects->closeOnSignals = &closeOnSignals;
    status = WinMain(1, 0, wide_command_line.c_str(), 0, *objects);
  }
  platform::CloseDevice();
  return status;
}
