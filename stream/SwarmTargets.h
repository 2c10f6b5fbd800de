#pragma once
// What a link names for the swarm to reach: trackers, web seeds, peers and DHT nodes. For a
// caller beyond loopback the service is a stranger's tool, and these are addresses it would
// connect to on that stranger's word, so those that lead inside (this machine and the
// networks behind it, web/InsideAddress.h) are left out before libtorrent sees them. Peers
// the swarm tells of later are libtorrent's business, as for any client.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace libtorrent {
struct add_torrent_params;
}

namespace morvane::stream {

// True for a host, a name or a number, that leads inside: a number in an inside range, or a
// name that resolves to one, or to nothing at all.
using InsideHost = std::function<bool(const std::string& host)>;
bool LeadsInside(const std::string& host);

// The host an announce or web seed address names ("udp://[::1]:6969/announce" -> "::1");
// nothing for an address whose host cannot be told for certain (no "//", user information,
// escapes or blanks in it).
std::optional<std::string> UrlHost(std::string_view url);

// Leaves out of `params` (its magnet's lists, and the trackers and web seeds of its
// torrent file) every tracker, web seed, peer and DHT node that leads inside. At most a few
// dozen of each are looked at; the rest are left out too.
void KeepOutsideTargets(libtorrent::add_torrent_params& params,
                        const InsideHost& leadsInside = LeadsInside);

// A .torrent file's bytes without its DHT nodes (the "nodes" entry), which libtorrent would
// add to the DHT on the file's word; the info dictionary, and so the info-hash, untouched.
// The bytes as they are when they hold no nodes or do not decode.
std::string WithoutDhtNodes(std::string torrentFile);

}  // namespace morvane::stream
