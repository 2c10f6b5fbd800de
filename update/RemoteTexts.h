#pragma once
// The texts read from the publisher's server and the page buttons.

#include <string_view>

#include "platform/Program.h"

namespace morvane {

// The steps each routine ends with come from the shell: `loadHistory` is started on a
// worker once the information page is read, `play` plays the drawn link, `search` is
// started on a worker with the drawn keyword.
// Window thread, once the main window exists: the notice text and the player page prefix.
void LoadInfoPage(Program& program, const ProgramStep& loadHistory);
// Window thread: plays a link drawn from the publisher's list (the random-link button).
void PlayRandomLink(Program& program, const ProgramStep& play);
// Worker: searches a keyword drawn from the publisher's list (the random-keyword button).
void SearchRandomKeyword(Program& program, const ProgramStep& search);
// The close buttons: sends `browser` to the placeholder page.
void ShowPlaceholderPage(Program& program, std::string_view browser);
// Shows page `index` of the main window, as the toolbar's buttons (工具条1) do.
void SwitchTab(Program& program, int index);

}  // namespace morvane
