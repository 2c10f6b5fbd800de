#pragma once
// The play history file "配置.ini" beside the program.

#include "app/Program.h"

namespace morvane {

void SaveHistory(Program& program);  // "全部保存", window thread
void LoadHistory(Program& program);  // worker, at start-up

}  // namespace morvane
