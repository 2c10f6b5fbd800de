#pragma once
// The swarm line under the player's video: while a video streamed (or converted) by a
// resolution service plays, the player page shows that torrent's peers, its download speed
// (its upload speed once the whole file is in) and how much of the file is buffered, and
// beside it what the service does with the torrent (watching, idle, seeding, stopped) and
// its share ratio, read from the service's /status/HASH.
//
// The player page is HTTPS and the streaming service plain HTTP (often on loopback, often
// without cross-origin headers), so the page asks its own service, which relays the one
// status request.

#include <string>

namespace httplib {
class Server;
}

namespace morvane::services {

// The panel's markup and script, placed after the player's video element.
std::string StreamStatusPanel();

// Serves GET /stream-status?service=HOST:PORT&hash=HEX[&key=KEY]: the answer of
// http://HOST:PORT[/KEY]/status/HEX, relayed as it came (a keyed service's addresses begin
// with its key). Any other host, port, hash or key form is refused (400), an unreachable
// service answers 502.
void RouteStreamStatus(httplib::Server& player);

}  // namespace morvane::services
