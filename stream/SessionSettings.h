#pragma once
// The libtorrent session settings of the streaming service: what a stream needs of the
// session beyond libtorrent's defaults, and why.

#include <libtorrent/settings_pack.hpp>

#include "stream/StreamOptions.h"

namespace morvane::stream {

libtorrent::settings_pack SessionSettings(const StreamOptions& options);

}  // namespace morvane::stream
