#pragma once
// What the player page knows of a film streamed by a resolution service, for the scripts
// that list its episodes, pick up where the viewer stopped and choose its tracks: which
// torrent and which of its files plays, the torrent's videos in episode order, the viewer's
// place kept by the service, and a column beside the film for their controls.
//
// The script defines window.playerFilm (nothing when the page plays no torrent of a
// streaming service):
//   hash, converted, name        the stream, whether converted, the name in its address
//   base                         what the service's addresses begin with ("http://HOST:PORT",
//                                then "/KEY" for a service that asks for its key)
//   ask(path, more)              a relay address of the page's own server for this stream
//                                (the service's key, if any, passed on)
//   files                        Promise of {videos: [...], current}: the /files/ list's videos
//                                in episode order and the one this page plays (or null)
//   saved                        Promise of the kept place of the current film (or null)
//   record({seconds, duration, subtitleShift})  keeps values of the current film
//   time(), length()             film time and length, converted or not
//   go(address, at, audio)       plays another address of the service in this page, at film
//                                time `at` and with sound track `audio` when given (carried
//                                in the tab's session storage)
//   continueAt                   that time, when this page was opened so
//   section(id, title)           a box in the column beside the film ('episodes', 'audio',
//                                'subtitles', 'cast', in that order), shown once asked for
//   overlay(id)                  a box over the film's upper left corner
// A 'filmleave' event on window comes before the page plays another address.

#include <string>

namespace morvane::services {

// The script, placed after the player's other scripts and before those that use it.
std::string PlayerFilmScript();

}  // namespace morvane::services
