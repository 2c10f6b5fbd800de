#pragma once
// The command line that hands a film to the user's own player. The setting
// ("external-player" in morvane.conf) names mpv or VLC, perhaps with arguments of the
// user's ("mpv --fs"), or a command line of its own with placeholders:
//   {url} the film's address, {title} its name, {subtitle} the subtitle's address,
//   {start} the second to begin at.
// A word that holds only a placeholder with nothing to put in it is left out; a command
// without {url} gets the address at its end.

#include <string>
#include <vector>

namespace morvane::cast {

enum class PlayerKind { kMpv, kVlc, kOther };

struct PlayerEntry {
  std::string address;   // what the player reads
  std::string title;     // UTF-8
  // Where the service keeps the viewer's place in it ("http://…/KEY/position/HASH/N");
  // "" when nothing is kept.
  std::string positionAddress;
};

struct Handoff {
  // The films in order (a season pack's episodes, else one); `first` plays first.
  std::vector<PlayerEntry> entries;
  std::size_t first = 0;
  std::string subtitle;      // the chosen subtitle's address, for the first film; "" none
  double startSeconds = 0;   // in the first film
  std::string ipcSocket;     // mpv's IPC socket path; "" for none
};

struct PlayerCommand {
  PlayerKind kind = PlayerKind::kOther;
  std::vector<std::string> argv;  // argv[0] is the program as the setting names it
};

// Splits a setting into words: blanks separate them, double or single quotes keep blanks
// inside a word, a backslash takes the next character as it is.
std::vector<std::string> SplitCommandLine(const std::string& text);

// The player a setting names; "" or blank gives mpv.
PlayerKind KindOf(const std::string& setting);

PlayerCommand BuildPlayerCommand(const std::string& setting, const Handoff& handoff);

}  // namespace morvane::cast
