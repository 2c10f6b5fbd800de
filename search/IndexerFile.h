#pragma once
// The indexer file: the Torznab indexers a user runs, in the user's configuration folder.
// One indexer a line, "NAME = ADDRESS [KEY]":
//
//   # Jackett: the "Copy Torznab Feed" address and the key from the top of its page
//   Jackett = http://127.0.0.1:9117/api/v2.0/indexers/all/results/torznab/ 0123abcd…
//   # Prowlarr: the indexer's Torznab address with the key in it
//   Prowlarr 1337x = http://127.0.0.1:9696/1/api?apikey=0123abcd…
//
// The address is the indexer's Torznab address, http or https; "api" is added to a path
// that does not end in it. The key follows the address after a blank or stands in it as
// apikey=…; either way it is kept apart from the address and joined to it only when a
// request is sent. Names are UTF-8; blank lines and lines starting with "#" are skipped; a
// later line of the same name replaces the earlier one in its place.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Settings.h"

namespace morvane {

inline constexpr char kIndexerFileName[] = "indexers.conf";

struct IndexerFile {
  std::vector<IndexerSource> indexers;
  // One UTF-8 text for each line that names no indexer, saying which and why; never the
  // line's address or key.
  std::vector<std::string> problems;
};

IndexerFile ParseIndexerText(std::string_view text);
// The file at `path`; no indexers when it is missing or unreadable.
IndexerFile ReadIndexerFile(const std::string& path);

// An indexer from an address as a user copies it (and a key given apart, or ""); nothing
// when the address is not http(s). `nameUtf8` becomes the GBK name.
std::optional<IndexerSource> IndexerFromAddress(std::string_view nameUtf8,
                                                std::string_view address,
                                                std::string_view key = {});

}  // namespace morvane
