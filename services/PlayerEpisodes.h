#pragma once
// The episodes of a season pack beside the film on the player page: the torrent's videos in
// episode order, the one playing marked; a click plays another, and at the end of one the
// next starts after a short countdown that can be cancelled.
//
// Another episode plays through the streaming service's own resolution ("so=" in a magnet
// of the same torrent), so that a video the browser cannot play comes back converted as the
// first one did. The page is HTTPS and the service plain HTTP: its own server relays.

#include <string>

namespace httplib {
class Server;
}

namespace morvane::services {

// The script, placed after PlayerFilmScript.
std::string PlayerEpisodesScript();

// Serves, each with [&key=KEY] for a keyed service (see IsKeySegment), whose addresses then
// begin with "/KEY":
//   GET /stream-files?service=HOST:PORT&hash=HEX          the answer of http://HOST:PORT/files/HEX
//   GET /stream-play?service=HOST:PORT&hash=HEX&file=N    {"address": ...} where video N of the
//       torrent plays, from the service's resolution of magnet:?xt=urn:btih:HEX&so=N, or
//       {"error": ...} (502) when it refuses
void RoutePlayerEpisodes(httplib::Server& player);

// The address between "<file>" and "</file>" of a resolution answer when it is one of the
// service at `service` ("HOST:PORT"); "" otherwise (a refusal, an answer pointing elsewhere).
std::string ResolvedAddressOf(const std::string& answer, const std::string& service);

}  // namespace morvane::services
