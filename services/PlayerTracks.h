#pragma once
// The sound track and the subtitle timing of a film from a streaming service, on the player
// page. A film with several sound tracks lists them; choosing one plays the film converted
// with it ("?audio=N" of the service's converted stream), from where it was. Subtitles shift
// earlier or later in steps of a tenth of a second, with the keys "[" and "]" or the buttons
// beside the film, and the shift is kept for the film with its place.

#include <string>

namespace morvane::services {

// The script, placed after PlayerFilmScript (and after PlayerMediaScript, whose tracks it
// shifts).
std::string PlayerTracksScript();

}  // namespace morvane::services
