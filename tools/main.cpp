// morvane-tool: the command-line companion. Scripts and checks call into the same code as
// the window through it. Texts it prints are UTF-8 unless a subcommand says otherwise.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "platform/Files.h"
#include "tools/Commands.h"

// morvane-tool hands the commands it does not know to morvane-tool-media beside it (the
// streaming and media commands); morvane-tool-media itself hands nothing on.
#ifndef MORVANE_TOOL_HANDS_OVER
#define MORVANE_TOOL_HANDS_OVER 1
#endif

namespace morvane::tool {

namespace {

struct Command {
  const char* usage;
  const char* summary;
  CommandRoutine run;
};

std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> commands;
  return commands;
}

int Usage() {
  if (MORVANE_TOOL_HANDS_OVER)
    std::fprintf(stderr, "usage: morvane-tool COMMAND [ARGUMENTS]\n\ncommands:\n");
  for (const auto& [name, c] : Registry())
    std::fprintf(stderr, "  %s %s\n      %s\n", name.c_str(), c.usage, c.summary);
  return 2;
}

// Runs the same command line in morvane-tool-media; returns only when that cannot start.
void HandOver(char** argv) {
  if (!MORVANE_TOOL_HANDS_OVER) return;
  const std::string program = morvane::RunningProgramPath();
  const std::size_t slash = program.rfind('/');
  if (slash == std::string::npos) return;
  const std::string media = program.substr(0, slash + 1) + "morvane-tool-media";
  std::fflush(stdout);
  std::fflush(stderr);
  ::execv(media.c_str(), argv);
}

}  // namespace

RegisterCommand::RegisterCommand(const char* name, const char* usage, const char* summary,
                                 CommandRoutine run) {
  Registry()[name] = Command{usage, summary, run};
}

}  // namespace morvane::tool

int main(int argc, char** argv) {
  using namespace morvane::tool;
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    Usage();
    HandOver(argv);  // its commands follow in the list
    return 2;
  }
  const auto it = Registry().find(argv[1]);
  if (it == Registry().end()) {
    HandOver(argv);
    std::fprintf(stderr, "morvane-tool: unknown command '%s'\n", argv[1]);
    return Usage();
  }
  return it->second.run(Arguments(argv + 2, argv + argc));
}
