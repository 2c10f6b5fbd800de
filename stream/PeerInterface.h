#pragma once
// Binding the BitTorrent side to one interface, the way users keep their peer traffic on a
// VPN: listening for peers and connecting to them there alone.

#include <string>

#include "stream/StreamOptions.h"

namespace morvane::stream {

// Sets the peer interfaces of `options` for `--peer-interface NAME|ADDRESS`: an interface
// name ("wg0", "eth0") or an IPv4 or IPv6 address. False, and nothing set, for anything else.
bool UsePeerInterface(const std::string& nameOrAddress, StreamOptions& options);

}  // namespace morvane::stream
