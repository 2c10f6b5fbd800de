#pragma once
// The service's own transfers over libcurl: a .torrent file named by an http(s) address,
// and ftp media relayed to a player with byte ranges. They run on a caller's behalf, so a
// caller's rules come with each: whether inside addresses are off limits, checked on the
// address each connection is actually opened to (every redirect and ftp data connection
// included), and when to give up.

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace morvane::stream {

// A .torrent body that has not fully arrived after this is given up.
inline constexpr std::chrono::seconds kSmallFileDeadline{30};

struct TransferRules {
  // True for an address no connection may be opened to (web/InsideAddress.h's
  // IsInsideAddress for a service reached by strangers); none: every address.
  std::function<bool(const sockaddr*)> refuseAddress;
  // Asked while the transfer runs: true ends it (the caller left, the service stops).
  std::function<bool()> cancelled;
  // For the whole of a small file or a size (not for a relay, which lasts as long as its
  // player reads).
  std::chrono::milliseconds deadline = kSmallFileDeadline;
};

// The whole body of `address` when it answers within the size cap and the deadline, else
// nothing.
std::optional<std::string> FetchSmallFile(const std::string& address, std::size_t maxBytes,
                                          const TransferRules& rules = {});

// Size in bytes of the file at `address` (ftp answers SIZE), or -1.
std::int64_t RemoteSize(const std::string& address, const TransferRules& rules = {});

// Hands bytes [begin, end) of `address` to `sink` as they arrive; `sink` returns false to
// stop. True when every byte was handed over.
bool FetchRange(const std::string& address, std::int64_t begin, std::int64_t end,
                const std::function<bool(const char*, std::size_t)>& sink,
                const TransferRules& rules = {});

}  // namespace morvane::stream
