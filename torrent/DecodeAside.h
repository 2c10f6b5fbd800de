#pragma once
// Decoding a large torrent on a thread of its own. A large file decodes into hundreds of
// thousands of values; freeing them takes a good part of the decoding time. Decoded
// aside, the tree is read by the caller and then freed by the decoding thread while the
// caller goes on. Values go back to the pool of the thread that made them, so that thread
// is the one to free them.

#include <cstdint>
#include <functional>
#include <string>

namespace morvane {

class CTorrent;

// Files from this size on are worth a thread.
inline constexpr std::uint64_t kDecodeAsideFrom = std::uint64_t{1} << 20;

// Loads the file at `path` on another thread and calls `use` on this one with the loaded
// torrent, or with nullptr when the file does not load. False, without calling `use`, when
// no thread can be started.
bool UseTorrentDecodedAside(const std::string& path,
                            const std::function<void(const CTorrent*)>& use);

}  // namespace morvane
