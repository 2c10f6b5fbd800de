#pragma once
// The swarm's HTTP tracker: peers register by announcing an info-hash and get back the other
// peers of that swarm as a compact list (six bytes each: IPv4 address and port). Peers that
// stop announcing are forgotten after two intervals; permanent peers (the services' own
// seeder) are listed in every swarm.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace httplib {
class Server;
}

namespace morvane::services {

class Tracker {
 public:
  using Clock = std::chrono::steady_clock;
  using Parameters = std::multimap<std::string, std::string>;  // decoded query parameters

  explicit Tracker(std::chrono::seconds interval = std::chrono::seconds(30));

  // A peer listed in every swarm as a seed. `address` is dotted IPv4.
  void AddPermanentPeer(const std::string& address, int port);

  // The bencoded answer to an announce from `remoteAddress` (dotted IPv4): the peers of the
  // swarm without the announcing peer itself, or a "failure reason" for a malformed
  // announce. The address a peer claims in "ip" is ignored: a peer registers only itself.
  std::string Announce(const Parameters& parameters, const std::string& remoteAddress,
                       Clock::time_point now = Clock::now());

 private:
  struct Peer {
    Clock::time_point expires;
    bool seed = false;
  };

  const std::chrono::seconds interval_;
  std::mutex mutex_;
  std::vector<std::string> permanent_;  // compact peers
  // info-hash (20 bytes) -> compact peer -> what is known of it
  std::map<std::string, std::map<std::string, Peer>> swarms_;
};

// Serves GET /announce on `server` from `tracker`.
void RouteAnnounce(httplib::Server& server, Tracker& tracker);

// The compact form of an IPv4 peer, "" when `address` is not dotted IPv4 or the port is out
// of range.
std::string CompactPeer(const std::string& address, int port);

}  // namespace morvane::services
