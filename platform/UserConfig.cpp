#include "platform/UserConfig.h"

#include <cstdlib>

#include "platform/Files.h"

namespace morvane {
namespace {

std::string_view Trimmed(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string UserConfigDir() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  // The base directory rules ignore a relative XDG_CONFIG_HOME.
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/morvane";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config/morvane";
  return {};
}

std::string UserConfigPath(std::string_view name) {
  const std::string dir = UserConfigDir();
  if (dir.empty()) return {};
  return dir + "/" + std::string(name);
}

KeyValueFile ParseKeyValueText(std::string_view text) {
  KeyValueFile file;
  int number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = Trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++number;
    if (line.empty() || line.front() == '#') continue;
    const auto equals = line.find('=');
    const std::string_view key =
        equals == std::string_view::npos ? std::string_view{} : Trimmed(line.substr(0, equals));
    if (key.empty()) {
      file.badLines.push_back(number);
      continue;
    }
    const auto [entry, added] = file.values.insert_or_assign(
        std::string(key), std::string(Trimmed(line.substr(equals + 1))));
    if (added) file.keys.push_back(entry->first);
  }
  return file;
}

std::optional<KeyValueFile> ReadKeyValueFile(const std::string& path, std::size_t maxBytes) {
  if (path.empty()) return std::nullopt;
  const auto text = ReadWholeFile(path, maxBytes);
  if (!text) return std::nullopt;
  return ParseKeyValueText(*text);
}

}  // namespace morvane
