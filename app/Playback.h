#pragma once
// Link playback: the notice page, the resolution on a worker, the player page, the history.

#include "app/Program.h"

namespace morvane {

void StartPlayback(Program& program);         // plays the content of 编辑框1
void PlaySelectedResult(Program& program);    // the selected row of 超级列表框1
void PlaySelectedHistory(Program& program);   // the selected row of 超级列表框3
void PlayLibraryPage(Program& program);       // 编辑框_高清影库 through the player service

}  // namespace morvane
