#include "search/IndexerFile.h"

#include <algorithm>
#include <iterator>

#include "platform/UserConfig.h"
#include "web/Text.h"

namespace morvane {

namespace {

// The indexer file is a few lines a person writes; anything this long is not one.
constexpr std::size_t kMostFileBytes = 1 << 20;

// Query parameters every request sets itself: a copy in the address would be sent twice.
constexpr std::string_view kRequestParameters[] = {"t", "q", "limit", "offset", "apikey"};

std::string_view Trimmed(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

// The length of "http://" or "https://" at the start, any case; 0 for another scheme.
std::size_t SchemeLength(std::string_view address) {
  const std::string start = Lower(address.substr(0, 8));
  if (start.starts_with("http://")) return 7;
  if (start.starts_with("https://")) return 8;
  return 0;
}

}  // namespace

std::optional<IndexerSource> IndexerFromAddress(std::string_view nameUtf8,
                                                std::string_view address,
                                                std::string_view key) {
  address = Trimmed(address);
  address = address.substr(0, address.find('#'));
  const std::size_t scheme = SchemeLength(address);
  const std::size_t queryAt = std::min(address.find('?'), address.size());
  if (scheme == 0 || queryAt <= scheme || address[scheme] == '/') return std::nullopt;

  std::string path(address.substr(0, queryAt));
  if (!path.ends_with("/api")) path += path.back() == '/' ? "api" : "/api";
  std::string kept;
  std::string keyInAddress;
  const std::string_view query =
      queryAt < address.size() ? address.substr(queryAt + 1) : std::string_view{};
  for (const std::string& piece : SplitText(query, "&")) {
    if (piece.empty()) continue;
    const std::string name = Lower(piece.substr(0, piece.find('=')));
    if (name == "apikey") {
      keyInAddress = piece.substr(std::min(piece.find('='), piece.size() - 1) + 1);
      continue;
    }
    if (std::find(std::begin(kRequestParameters), std::end(kRequestParameters), name) !=
        std::end(kRequestParameters))
      continue;
    kept += kept.empty() ? "?" : "&";
    kept += piece;
  }

  IndexerSource source;
  source.name = Utf8ToLocal(Trimmed(nameUtf8));
  source.apiAddress = path + kept;
  source.apiKey = key.empty() ? keyInAddress : std::string(Trimmed(key));
  return source;
}

namespace {

IndexerFile IndexersOf(const KeyValueFile& lines) {
  IndexerFile file;
  for (const int line : lines.badLines)
    file.problems.push_back("line " + std::to_string(line) + " is not NAME = ADDRESS [KEY]");
  for (const std::string& name : lines.keys) {
    const std::string& value = lines.values.at(name);
    const auto blank = value.find_first_of(" \t");
    const std::string_view address = std::string_view(value).substr(0, blank);
    const std::string_view key =
        blank == std::string::npos ? std::string_view{} : std::string_view(value).substr(blank);
    if (auto source = IndexerFromAddress(name, address, key)) {
      file.indexers.push_back(std::move(*source));
    } else {
      file.problems.push_back("\"" + name + "\" has no http or https address");
    }
  }
  return file;
}

}  // namespace

IndexerFile ParseIndexerText(std::string_view text) {
  return IndexersOf(ParseKeyValueText(text));
}

IndexerFile ReadIndexerFile(const std::string& path) {
  const auto lines = ReadKeyValueFile(path, kMostFileBytes);
  return lines ? IndexersOf(*lines) : IndexerFile{};
}

}  // namespace morvane
