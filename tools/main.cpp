// morvane-tool: the command-line companion. Scripts and checks call into the same code as
// the window through it. Texts it prints are UTF-8 unless a subcommand says otherwise.

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "tools/Commands.h"

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
  std::fprintf(stderr, "usage: morvane-tool COMMAND [ARGUMENTS]\n\ncommands:\n");
  for (const auto& [name, c] : Registry())
    std::fprintf(stderr, "  %s %s\n      %s\n", name.c_str(), c.usage, c.summary);
  return 2;
}

}  // namespace

RegisterCommand::RegisterCommand(const char* name, const char* usage, const char* summary,
                                 CommandRoutine run) {
  Registry()[name] = Command{usage, summary, run};
}

}  // namespace morvane::tool

int main(int argc, char** argv) {
  using namespace morvane::tool;
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) return Usage();
  const auto it = Registry().find(argv[1]);
  if (it == Registry().end()) {
    std::fprintf(stderr, "morvane-tool: unknown command '%s'\n", argv[1]);
    return Usage();
  }
  return it->second.run(Arguments(argv + 2, argv + argc));
}
