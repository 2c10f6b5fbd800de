#pragma once
// The libtorrent session settings of the streaming service: what a stream needs of the
// session beyond libtorrent's defaults, and why.

#include <libtorrent/settings_pack.hpp>

#include "stream/StreamOptions.h"

namespace libtorrent {
class session;
}  // namespace libtorrent

namespace morvane::stream {

libtorrent::settings_pack SessionSettings(const StreamOptions& options);

// With a rate limit set, peers on this machine are held to it too (libtorrent leaves them
// unlimited). Before the first torrent is added: peers already connected keep their class.
void LimitLoopbackPeers(libtorrent::session& session, const StreamOptions& options);

}  // namespace morvane::stream
