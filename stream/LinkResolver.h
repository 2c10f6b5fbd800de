#pragma once
// Turns a link into the address a player opens, or a reason it cannot play.

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "stream/CurlTransfer.h"

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

// Who asks, and what the service may do on their behalf.
struct Caller {
  std::string base;  // "http://HOST:PORT" (and "/KEY" when keyed) of this service
  // A service bound beyond loopback is asked by strangers: it opens no local file for them
  // and fetches nothing from an inside address (web/InsideAddress.h).
  bool stranger = false;
  std::function<bool()> cancelled;  // the asker left or the service stops

  TransferRules Rules() const;
};

// A .torrent file larger than this is refused (libtorrent's own limit is 10 MB).
inline constexpr std::size_t kMaxTorrentFileBytes = 10 << 20;

Resolution ResolveLink(const std::string& link, const Caller& caller, TorrentEngine& engine,
                       RelayTable& relays);

// The answer body of the resolution contract.
std::string ResolutionAnswer(const Resolution& resolution);

// A file name as one segment of an address the service answers: everything but letters,
// digits and "-", "_", ".", "~" percent-escaped.
std::string AddressSegment(std::string_view name);

}  // namespace morvane::stream
