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
#include "platform/device.h"
#include "shell/process_objects.h"
#include "shell/string_table.h"
#include "shell/startup.h"
#include "tracking/trace.h"

namespace {

std::u16string Utf8ToUtf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp;
    int n;
    if (c < 0x80) {
      cp = c, n = 1;
    } else if ((c >> 5) == 6 && i + 1 < s.size()) {
      cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F), n = 2;
    } else if ((c >> 4) == 14 && i + 2 < s.size()) {
      cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F), n = 3;
    } else if ((c >> 3) == 30 && i + 3 < s.size()) {
      cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F), n = 4;
    } else {
      cp = 0xFFFD, n = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
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
    status = WinMain(1, 0, Utf8ToUtf16(command_line).c_str(), 0, *objects);
  }
  platform::CloseDevice();
  return status;
}
