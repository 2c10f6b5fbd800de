#pragma once
// The texts read from the publisher's server and the page buttons.

#include <string_view>

#include "platform/Program.h"

namespace morvane {

// The steps each routine ends with come from the shell: `loadHistory` is started on a
// worker once the information page is read, `play` plays the drawn link, `search` is
// started on a worker with the drawn keyword.
void LoadInfoPage(Program& program, const ProgramStep& loadHistory);  // window thread, the main window's created event
void PlayRandomLink(Program& program, const ProgramStep& play);       // window thread, 超级按钮2
void SearchRandomKeyword(Program& program, const ProgramStep& search);  // worker, 超级按钮6
// The close buttons: sends `browser` to the placeholder page.
void ShowPlaceholderPage(Program& program, std::string_view browser);
void SwitchTab(Program& program, int index);  // 工具条1

}  // namespace morvane
