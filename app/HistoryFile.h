#pragma once
// The play history file "配置.ini" beside the program.

#include <string>

#include "platform/Program.h"

namespace morvane {

void SaveHistory(Program& program);  // "全部保存", window thread
void LoadHistory(Program& program);  // worker, at start-up

// The same with the file in `directory` instead of the program's directory.
void SaveHistoryIn(Program& program, const std::string& directory);
void LoadHistoryFrom(Program& program, const std::string& directory);

// directory + "/配置.ini"
std::string HistoryFilePath(const std::string& directory);

}  // namespace morvane
