// What the programs' help shows beyond CLI11's own.
#ifndef HOLLOWMARCH_TOOLS_CLI_HELP_H_
#define HOLLOWMARCH_TOOLS_CLI_HELP_H_

#include <string>

#include <CLI/CLI.hpp>

namespace tools {

// Gives every subcommand of `app` (at any depth) `footer` under its help:
// the global options, which a subcommand's own help does not list.
inline void FooterOnEverySubcommand(CLI::App& app, const std::string& footer) {
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    sub->footer(footer);
    FooterOnEverySubcommand(*sub, footer);
  }
}

}  // namespace tools

#endif  // HOLLOWMARCH_TOOLS_CLI_HELP_H_
