#pragma once
// Hands a film to the user's own player (cast/PlayerCommand.h) and, for mpv, follows it
// through its IPC socket: where it is in which film of the list, kept by the streaming
// service (POST /position/HASH/N) every few seconds and when it ends, so that Morvane
// offers to go on from there. The player is the window process's child, in a session of
// its own; nothing here waits for it or ends it.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cast/PlayerCommand.h"

namespace morvane::cast {

struct LaunchResult {
  bool ok = false;
  std::string message;   // for the user when not ok (UTF-8)
  std::string program;   // the program that was started, as found
  std::string ipcSocket; // mpv's socket, "" for another player
};

// Where the player is, as mpv tells it.
struct PlayerPosition {
  std::size_t entry = 0;  // the film of the handoff's list
  double seconds = 0;
  double duration = 0;
};

// The program a command names, looked up on PATH when it has no "/"; "" when there is
// none that can be run.
std::string FindProgram(const std::string& name);

// Starts the player. `onEnd` (may be empty) is called on a thread of the launcher's once
// the player has ended, with the last place it told.
LaunchResult LaunchPlayer(const std::string& setting, Handoff handoff,
                          std::function<void(std::optional<PlayerPosition>)> onEnd = {});

// How often the place of a playing film is kept.
inline constexpr std::chrono::seconds kPositionInterval{5};

}  // namespace morvane::cast
