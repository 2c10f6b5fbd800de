#pragma once
// Watching elsewhere from the player page: a box beside the film that hands it to the
// user's own player or casts it to a renderer on the network, then drives the renderer
// (play and pause, a jump, stop, volume) and shows where it is. It asks the window through
// window.morvaneCast (app/window/CastBridge.h), which only Morvane's player browser has and
// which answers only the own service's page: elsewhere the box does not show.

#include <string>

namespace morvane::services {

// The script, placed after PlayerFilmScript().
std::string PlayerCastScript();

}  // namespace morvane::services
