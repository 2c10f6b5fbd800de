#pragma once
// The session's connections to peers are its own, and it sends its requests as small
// writes: with Nagle's algorithm a write waits for the peer's acknowledgement of the one
// before, which a peer with nothing to send back delays by tens of milliseconds. A player
// that jumps waits that long for its new piece's requests to leave. The session offers no
// say over its sockets, so they are found by the peer they lead to.

#include <sys/socket.h>

#include <chrono>
#include <vector>

namespace morvane::stream {

// Turns Nagle's algorithm off on every TCP socket of this process connected to `peer`
// (its address and port); returns how many it found.
int SendPromptlyTo(const sockaddr* peer, socklen_t length);

// Peers whose sockets were not found yet. libtorrent reports an outgoing connection when it
// starts it, and its socket has no peer until the connection is made (at once on loopback,
// a round trip later elsewhere): found then, or the requests to a peer across the network
// would wait on Nagle's algorithm for the whole connection. Looked for again soon, then
// less and less often, until found or given up.
class UnfoundPeers {
 public:
  using Clock = std::chrono::steady_clock;

  void Add(const sockaddr* peer, socklen_t length, Clock::time_point now);
  // Looks for the sockets of the peers due (one pass over this process's sockets); those
  // found, or sought for too long, are dropped.
  void Retry(Clock::time_point now);
  // When the next peer is due; Clock::time_point::max() when none waits.
  Clock::time_point NextTry() const;
  bool empty() const { return peers_.empty(); }

 private:
  struct Peer {
    sockaddr_storage address{};
    socklen_t length = 0;
    Clock::time_point due, until;
    Clock::duration wait{};
    bool found = false;
  };
  std::vector<Peer> peers_;
};

}  // namespace morvane::stream
