#pragma once
// The texts read from the publisher's server and the page buttons.

#include <string_view>

#include "app/Program.h"

namespace morvane {

void LoadInfoPage(Program& program);         // window thread, the main window's created event
void PlayRandomLink(Program& program);       // window thread, 超级按钮2
void SearchRandomKeyword(Program& program);  // worker, 超级按钮6
// The close buttons: sends `browser` to the placeholder page.
void ShowPlaceholderPage(Program& program, std::string_view browser);
void SwitchTab(Program& program, int index);  // 工具条1

}  // namespace morvane
