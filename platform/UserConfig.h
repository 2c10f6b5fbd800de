#pragma once
// The user's own configuration: files under $XDG_CONFIG_HOME/morvane (or ~/.config/morvane)
// that change what the build settings hold without rebuilding. Every file is optional; a
// missing or unreadable one leaves the build's defaults as they are.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

// The program's settings that a user may change ("resolution-host = ...").
inline constexpr char kUserSettingsFileName[] = "morvane.conf";

// $XDG_CONFIG_HOME/morvane when that is an absolute path, else $HOME/.config/morvane; ""
// when neither can be found out. The folder is not created.
std::string UserConfigDir();

// The path of `name` in UserConfigDir(), or "" when there is none.
std::string UserConfigPath(std::string_view name);

// A file of "key = value" lines: blanks around keys and values are dropped, empty lines and
// lines starting with '#' are skipped, a later key replaces an earlier one. A line without
// '=' or with an empty key is not taken; its 1-based number is listed in `badLines`.
struct KeyValueFile {
  std::map<std::string, std::string> values;
  std::vector<int> badLines;
  std::vector<std::string> keys;  // each key once, in the order of its first line
};
KeyValueFile ParseKeyValueText(std::string_view text);

// Reads and parses the file; nothing when it is missing, not a regular file, larger than
// `maxBytes` or cannot be read.
std::optional<KeyValueFile> ReadKeyValueFile(const std::string& path,
                                             std::size_t maxBytes = 1 << 20);

}  // namespace morvane
