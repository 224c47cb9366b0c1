// hollowmarch: the fast-sync server of the handheld.
//
//   hollowmarch [--root DIR] [--verbose] [--] [COMMAND LINE ...]
//
// The words after the options, joined by single blanks, are the command line
// ("Shutdown", "AppRunAfterRestore" or anything else). Runs in the
// foreground until it is closed.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CLI/CLI.hpp"
#include "platform/codepage.h"
#include "platform/device.h"
#include "shell/close_signals.h"
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
  app.add_option("--root", root, "device root (else $HOLLOWMARCH_ROOT, else the user's state folder)");
  app.add_flag("--verbose", verbose, "write trace lines to standard error");
  app.add_option("command_line", words, "the command line: Shutdown, AppRunAfterRestore or anything else");
  app.allow_extras(false);
  CLI11_PARSE(app, argc, argv);

  std::string command_line;
  for (size_t i = 0; i < words.size(); ++i) command_line += (i ? " " : "") + words[i];

  platform::Status s = platform::OpenDevice(platform::ResolveDeviceRoot(root));
  if (!s.ok()) {
    std::fprintf(stderr, "hollowmarch: %s\n", s.message().c_str());
    return 2;
  }
  SetTraceToStderr(verbose);
  RegisterProgramStrings();

  int status;
  {
    // The process-wide objects live from here to the end of this scope and
    // are destroyed in the reverse order of their construction.
    auto objects = std::make_unique<ProcessObjects>();
    objects->closeOnSignals = &closeOnSignals;
    status = WinMain(1, 0, Utf8ToUtf16(command_line).c_str(), 0, *objects);
  }
  platform::CloseDevice();
  return status;
}
