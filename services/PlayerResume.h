#pragma once
// Picking up where the viewer stopped: while a film from a streaming service plays, the
// player page has the service keep its place (every few seconds, on pause, on leaving); when
// the film plays again it offers to go on from there ("从 12:34 继续播放") or to start over.
// A film watched to its end is forgotten, so it starts from the beginning next time.
//
// The place is kept by the streaming service, beside the torrents it streams: it survives
// closing the program (whose browser keeps nothing on disk) and restarting the service, and
// a service on a home server keeps it for whichever machine plays from it.

#include <string>

namespace httplib {
class Server;
}

namespace morvane::services {

// The script, placed after PlayerFilmScript.
std::string PlayerResumeScript();

// Serves GET /stream-position?service=HOST:PORT&hash=HEX&file=N[&key=KEY], the answer of
// http://HOST:PORT[/KEY]/position/HEX/N, and POST with seconds=, duration= and subtitleShift=
// (each a plain decimal number), relayed as a POST of the same values.
void RoutePlayerResume(httplib::Server& player);

}  // namespace morvane::services
