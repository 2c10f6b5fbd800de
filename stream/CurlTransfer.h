#pragma once
// The service's own transfers over libcurl: a .torrent file named by an http(s) address,
// and ftp media relayed to a player with byte ranges.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace morvane::stream {

// The whole body of `address` when it answers within the limits, else nothing.
std::optional<std::string> FetchSmallFile(const std::string& address, std::size_t maxBytes);

// Size in bytes of the file at `address` (ftp answers SIZE), or -1.
std::int64_t RemoteSize(const std::string& address);

// Hands bytes [begin, end) of `address` to `sink` as they arrive; `sink` returns false to
// stop. True when every byte was handed over.
bool FetchRange(const std::string& address, std::int64_t begin, std::int64_t end,
                const std::function<bool(const char*, std::size_t)>& sink);

}  // namespace morvane::stream
