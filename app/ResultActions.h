#pragma once
// The popup menus of the two lists and their entries.

#include "platform/Program.h"

namespace morvane {

void ShowResultMenu(Program& program);
void ShowHistoryMenu(Program& program);
void CopyResultLink(Program& program);  // "复制" and "下载"
void DeleteHistoryRow(Program& program);

}  // namespace morvane
