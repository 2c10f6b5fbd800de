#pragma once
// morvane-tool's subcommands. Each lives in a file of its own and registers itself:
//   static const RegisterCommand kEncode{"encode", "TEXT", "...", &RunEncode};

#include <string>
#include <vector>

namespace morvane::tool {

using Arguments = std::vector<std::string>;  // the arguments after the subcommand's name
using CommandRoutine = int (*)(const Arguments&);

struct RegisterCommand {
  RegisterCommand(const char* name, const char* usage, const char* summary, CommandRoutine run);
};

}  // namespace morvane::tool
