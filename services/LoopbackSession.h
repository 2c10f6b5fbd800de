#pragma once
// The settings of a libtorrent session that keeps to the loopback swarm: it listens on
// 127.0.0.1 (a free port), finds peers only through trackers (no DHT, no local peer
// discovery, no UPnP or NAT-PMP), and accepts many peers from the one loopback address.

#include <libtorrent/settings_pack.hpp>

namespace morvane::services {

lt::settings_pack LoopbackSessionSettings();

}  // namespace morvane::services
