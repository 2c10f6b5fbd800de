#pragma once
// What the player page adds for a video from a streaming service: the subtitles the service
// found for it, as text tracks (Chinese first, the first one shown), and for a stream the
// service converts on the fly, seeking by restarting the conversion at the time wanted (a
// converted stream has no byte ranges).
//
// The page is HTTPS and the service plain HTTP, so the page reads the subtitle list and the
// subtitles through its own server, which relays them as it relays the swarm status.

#include <string>

namespace httplib {
class Server;
}

namespace morvane::services {

// The script, placed after the player's video element.
std::string PlayerMediaScript();

// Serves GET /stream-subs?service=HOST:PORT&hash=HEX&item=ITEM[&start=S][&key=KEY]: the
// answer of http://HOST:PORT[/KEY]/subs/HEX/ITEM[?start=S], where ITEM is "list.json" or
// "N.vtt".
void RoutePlayerMedia(httplib::Server& player);

}  // namespace morvane::services
