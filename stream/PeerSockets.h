#pragma once
// The session's connections to peers are its own, and it sends its requests as small
// writes: with Nagle's algorithm a write waits for the peer's acknowledgement of the one
// before, which a peer with nothing to send back delays by tens of milliseconds. A player
// that jumps waits that long for its new piece's requests to leave. The session offers no
// say over its sockets, so they are found by the peer they lead to.

#include <sys/socket.h>

namespace morvane::stream {

// Turns Nagle's algorithm off on every TCP socket of this process connected to `peer`
// (its address and port); returns how many it found.
int SendPromptlyTo(const sockaddr* peer, socklen_t length);

}  // namespace morvane::stream
