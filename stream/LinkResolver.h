#pragma once
// Turns a link into the address a player opens, or a reason it cannot play.

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace morvane::stream {

class TorrentEngine;

// The ftp addresses this service has resolved, by number: only they are relayed, so the
// service is no open relay for any address a client names.
class RelayTable {
 public:
  int Add(const std::string& address);
  std::optional<std::string> Get(int id) const;

 private:
  static constexpr std::size_t kKept = 256;
  mutable std::mutex mutex_;
  std::deque<std::pair<int, std::string>> entries_;
  int next_ = 1;
};

struct Resolution {
  std::string address;  // empty when the link cannot play
  std::string reason;
};

// A .torrent file larger than this is refused (libtorrent's own limit is 10 MB).
inline constexpr std::size_t kMaxTorrentFileBytes = 10 << 20;

// `base` is "http://HOST:PORT" of this service as the client reached it.
Resolution ResolveLink(const std::string& link, const std::string& base, TorrentEngine& engine,
                       RelayTable& relays);

// The answer body of the resolution contract.
std::string ResolutionAnswer(const Resolution& resolution);

// Percent-escapes everything but unreserved characters.
std::string PercentEncode(const std::string& text);

}  // namespace morvane::stream
