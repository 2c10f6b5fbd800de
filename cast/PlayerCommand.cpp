#include "cast/PlayerCommand.h"

#include "platform/NumberText.h"

namespace morvane::cast {

namespace {

constexpr char kDefaultPlayer[] = "mpv";

std::string Seconds(double value) { return FixedText(value > 0 ? value : 0.0, 3); }

std::string BaseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void Replace(std::string& word, const std::string& placeholder, const std::string& value) {
  for (auto at = word.find(placeholder); at != std::string::npos;
       at = word.find(placeholder, at + value.size()))
    word.replace(at, placeholder.size(), value);
}

// mpv: every film with its own options (--{ … --}), so each shows its own title and only
// the first starts late and carries the subtitle; the playlist starts at the chosen one.
void MpvArguments(const Handoff& handoff, std::vector<std::string>& argv) {
  if (!handoff.ipcSocket.empty()) argv.push_back("--input-ipc-server=" + handoff.ipcSocket);
  if (handoff.entries.size() > 1) argv.push_back("--playlist-start=" + std::to_string(handoff.first));
  for (std::size_t i = 0; i < handoff.entries.size(); ++i) {
    const PlayerEntry& entry = handoff.entries[i];
    argv.push_back("--{");
    argv.push_back("--force-media-title=" + entry.title);
    if (i == handoff.first) {
      if (handoff.startSeconds > 0) argv.push_back("--start=" + Seconds(handoff.startSeconds));
      if (!handoff.subtitle.empty()) argv.push_back("--sub-file=" + handoff.subtitle);
    }
    argv.push_back(entry.address);
    argv.push_back("--}");
  }
}

// VLC: options after an address belong to that item alone (":start-time=…"); the list
// begins with the chosen film, VLC having no option to start a list elsewhere.
void VlcArguments(const Handoff& handoff, std::vector<std::string>& argv) {
  for (std::size_t i = handoff.first; i < handoff.entries.size(); ++i) {
    const PlayerEntry& entry = handoff.entries[i];
    argv.push_back(entry.address);
    argv.push_back(":meta-title=" + entry.title);
    if (i == handoff.first) {
      if (handoff.startSeconds > 0) argv.push_back(":start-time=" + Seconds(handoff.startSeconds));
      if (!handoff.subtitle.empty()) argv.push_back(":input-slave=" + handoff.subtitle);
    }
  }
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  char quote = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && quote != '\'' && i + 1 < text.size()) {
      word += text[++i];
      inWord = true;
    } else if (quote) {
      if (c == quote) quote = 0;
      else word += c;
    } else if (c == '"' || c == '\'') {
      quote = c;
      inWord = true;
    } else if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

PlayerKind KindOf(const std::string& setting) {
  const std::vector<std::string> words = SplitCommandLine(setting);
  const std::string program = words.empty() ? kDefaultPlayer : BaseName(words.front());
  if (program == "mpv") return PlayerKind::kMpv;
  if (program == "vlc" || program == "cvlc") return PlayerKind::kVlc;
  return PlayerKind::kOther;
}

PlayerCommand BuildPlayerCommand(const std::string& setting, const Handoff& handoff) {
  PlayerCommand command;
  std::vector<std::string> words = SplitCommandLine(setting);
  if (words.empty()) words.push_back(kDefaultPlayer);
  command.kind = KindOf(setting);
  if (handoff.entries.empty() || handoff.first >= handoff.entries.size()) return command;
  const PlayerEntry& chosen = handoff.entries[handoff.first];
  bool hasPlaceholders = false;
  for (const std::string& word : words)
    for (const char* placeholder : {"{url}", "{title}", "{subtitle}", "{start}"})
      if (word.find(placeholder) != std::string::npos) hasPlaceholders = true;

  if (command.kind != PlayerKind::kOther && !hasPlaceholders) {
    command.argv = words;
    if (command.kind == PlayerKind::kMpv) MpvArguments(handoff, command.argv);
    else VlcArguments(handoff, command.argv);
    return command;
  }
  // The user's own line: the chosen film alone.
  bool hasUrl = false;
  for (std::string word : words) {
    if (word == "{subtitle}" && handoff.subtitle.empty()) continue;
    if (word == "{start}" && handoff.startSeconds <= 0) continue;
    hasUrl = hasUrl || word.find("{url}") != std::string::npos;
    Replace(word, "{url}", chosen.address);
    Replace(word, "{title}", chosen.title);
    Replace(word, "{subtitle}", handoff.subtitle);
    Replace(word, "{start}", Seconds(handoff.startSeconds));
    command.argv.push_back(std::move(word));
  }
  if (!hasUrl) command.argv.push_back(chosen.address);
  return command;
}

}  // namespace morvane::cast
