// hollowmarch: the fast-sync server of the handheld.
//
//   hollowmarch [--root DIR] [--listen ADDR] [--verbose] [--] [COMMAND LINE ...]
//
// The words after the options, joined by single blanks, are the command line
// ("Shutdown", "AppRunAfterRestore" or anything else). Runs in the
// foreground until it is closed. The address to listen on is checked before
// anything else is done, except for "Shutdown", which listens nowhere (a
// malformed ListenAddress must not keep the running instance from being
// stopped).
#include <memory>
#include <string>
#include <vector>

#include "CLI/CLI.hpp"
#include "platform/codepage.h"
#include "platform/device.h"
#include "platform/log.h"
#include "server/peer_allow_list.h"
#include "shell/close_signals.h"
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
  app.allow_extras(false);
  CLI11_PARSE(app, argc, argv);

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
  std::string address_error;
  if (!IsKeyword(wide_command_line.c_str(), kKeywordShutdown) &&
      !ResolveListenAddress(listen_option->count() > 0 ? &listen : nullptr, &address, &address_error)) {
    platform::Logf(platform::LogPriority::kError, "hollowmarch: %s", address_error.c_str());
    platform::CloseDevice();
    return 2;
  }
  PeerAllowList allowed;
  std::string allowed_error;
  if (!IsKeyword(wide_command_line.c_str(), kKeywordShutdown) &&
      !ResolveAllowedPeers(allow_option->count() > 0 ? &allow : nullptr, &allowed, &allowed_error)) {
    platform::Logf(platform::LogPriority::kError, "hollowmarch: %s", allowed_error.c_str());
    platform::CloseDevice();
    return 2;
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
