#pragma once
// Link playback: the notice page, the resolution on a worker, the player page, the history.

#include <string>
#include <string_view>

#include "platform/Program.h"

namespace morvane {

void StartPlayback(Program& program);         // plays the link in the link box (编辑框1)
void PlaySelectedResult(Program& program);    // the chosen search result (超级列表框1)
void PlaySelectedHistory(Program& program);   // the chosen history row (超级列表框3)
// The HD-library address the user typed (编辑框_高清影库), through the player service.
void PlayLibraryPage(Program& program);

// The steps after StartPlayback, public for the routines that start a playback their own way.
void ResolveLink(Program& program);     // worker: asks the resolution service for the link box
void ShowPlayerPage(Program& program);  // worker: the player page, or the rejection message
// The link box's text, untrimmed, as the newest row of the play history.
void RecordHistory(Program& program);

// The resolution service's query for a link. Bytes that cannot stand in a request line
// (space, control bytes, bytes above 0x7F) travel as %XX; every other byte goes as typed.
std::string ResolutionAddress(const Settings& settings, std::string_view link);

}  // namespace morvane
