#include "stream/SwarmTargets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/bdecode.hpp>
#include <libtorrent/torrent_info.hpp>

#include "web/InsideAddress.h"

namespace lt = libtorrent;

namespace morvane::stream {

namespace {

// Names looked up for one link at most: each lookup may take the resolver's seconds, and a
// link of a thousand trackers is no player's. Past it every name counts as inside; numbers
// cost nothing to judge.
constexpr int kMostNamesLooked = 32;

bool IsNumber(const std::string& host) {
  unsigned char bytes[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), bytes) == 1 || ::inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

// How often a .torrent file may repeat its "nodes" entry before it counts as broken.
constexpr int kMostNodeEntries = 8;

template <typename List, typename Keep>
void KeepOnly(List& list, Keep keep) {
  list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& item) { return !keep(item); }),
             list.end());
}

}  // namespace

bool LeadsInside(const std::string& host) {
  if (host.empty()) return true;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return true;
  bool inside = false;
  for (const addrinfo* a = found; a != nullptr && !inside; a = a->ai_next)
    inside = IsInsideAddress(a->ai_addr);
  ::freeaddrinfo(found);
  return inside;
}

std::optional<std::string> UrlHost(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return std::nullopt;
  std::string_view authority = url.substr(scheme + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  // Whatever two parsers could read two ways: user information, escapes, a backslash.
  for (const char c : authority)
    if (c == '@' || c == '%' || c == '\\' || static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
      return std::nullopt;
  std::string_view host;
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':') return std::nullopt;
  } else {
    host = authority.substr(0, authority.rfind(':'));
    if (host.find(':') != std::string_view::npos) return std::nullopt;
  }
  if (host.empty()) return std::nullopt;
  return std::string(host);
}

void KeepOutsideTargets(lt::add_torrent_params& params, const InsideHost& leadsInside) {
  int looked = 0;
  const auto outsideHost = [&](const std::string& host) {
    if (IsNumber(host)) return !IsInsideAddressText(host);
    return ++looked <= kMostNamesLooked && !leadsInside(host);
  };
  const auto outsideUrl = [&](const std::string& url) {
    const auto host = UrlHost(url);
    return host && outsideHost(*host);
  };

  std::vector<std::string> trackers;
  std::vector<int> tiers;
  const bool tiered = params.tracker_tiers.size() == params.trackers.size();
  for (std::size_t i = 0; i < params.trackers.size(); ++i) {
    if (!outsideUrl(params.trackers[i])) continue;
    trackers.push_back(params.trackers[i]);
    if (tiered) tiers.push_back(params.tracker_tiers[i]);
  }
  params.trackers = std::move(trackers);
  params.tracker_tiers = std::move(tiers);
  KeepOnly(params.url_seeds, outsideUrl);
  KeepOnly(params.http_seeds, outsideUrl);
  KeepOnly(params.dht_nodes, [&](const std::pair<std::string, int>& node) { return outsideHost(node.first); });
  KeepOnly(params.peers, [](const lt::tcp::endpoint& peer) { return !IsInsideAddress(peer.data()); });

  if (!params.ti) return;
  const std::vector<lt::announce_entry> announced = params.ti->trackers();
  params.ti->clear_trackers();
  for (const lt::announce_entry& entry : announced)
    if (outsideUrl(entry.url)) params.ti->add_tracker(entry.url, entry.tier);
  std::vector<lt::web_seed_entry> seeds = params.ti->web_seeds();
  KeepOnly(seeds, [&](const lt::web_seed_entry& seed) { return outsideUrl(seed.url); });
  params.ti->set_web_seeds(std::move(seeds));
}

std::string WithoutDhtNodes(std::string torrentFile) {
  constexpr std::string_view kKey = "5:nodes";
  for (int entry = 0; entry < kMostNodeEntries; ++entry) {
    lt::error_code ec;
    const lt::bdecode_node top = lt::bdecode(
        lt::span<const char>(torrentFile.data(), static_cast<std::ptrdiff_t>(torrentFile.size())), ec);
    if (ec || top.type() != lt::bdecode_node::dict_t) return torrentFile;
    const lt::bdecode_node nodes = top.dict_find("nodes");
    if (!nodes) return torrentFile;
    const auto value = nodes.data_section();
    const auto at = static_cast<std::size_t>(value.data() - torrentFile.data());
    // The key comes right before its value; written any other way the file is no
    // well-formed torrent, and it is not played rather than played with its nodes.
    if (at < kKey.size() || torrentFile.compare(at - kKey.size(), kKey.size(), kKey) != 0) return {};
    torrentFile.erase(at - kKey.size(), kKey.size() + static_cast<std::size_t>(value.size()));
  }
  return {};
}

}  // namespace morvane::stream
