#pragma once
// Link playback: the notice page, the resolution on a worker, the player page, the history.

#include <string>
#include <string_view>

#include "platform/Program.h"

namespace morvane {

void StartPlayback(Program& program);         // plays the content of 编辑框1
void PlaySelectedResult(Program& program);    // the selected row of 超级列表框1
void PlaySelectedHistory(Program& program);   // the selected row of 超级列表框3
void PlayLibraryPage(Program& program);       // 编辑框_高清影库 through the player service

// The steps after StartPlayback, public for the routines that start a playback their own way.
void ResolveLink(Program& program);     // worker: asks the resolution service for 编辑框1
void ShowPlayerPage(Program& program);  // worker: the player page, or the rejection message
void RecordHistory(Program& program);   // 编辑框1, untrimmed, as the top row of 超级列表框3

// The resolution service's query for a link. Bytes that cannot stand in a request line
// (space, control bytes, bytes above 0x7F) travel as %XX; every other byte goes as typed.
std::string ResolutionAddress(const Settings& settings, std::string_view link);

}  // namespace morvane
