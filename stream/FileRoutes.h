#pragma once
// The files of a torrent being streamed and the viewer's place in each of its films: what a
// player page needs to list a season's episodes, play another and pick up where it stopped.
//
//   GET  /files/HASH        {"files":[{"index","name","size","video","address","playing",
//                           "sample"},...]}: every file of the torrent, videos first in episode
//                           order, each video with the address that streams it
//                           ("/stream/HASH/NAME"), whether it plays now and whether it is a
//                           release's sample clip
//   GET  /position/HASH/N   {"seconds","duration","subtitleShift"} of video N (zeros when
//                           nothing is kept)
//   POST /position/HASH/N?seconds=S&duration=D&subtitleShift=X   records them (any of the
//                           three; 204)
//
// Only torrents the service is streaming are known here (404 otherwise).

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "stream/HttpServer.h"
#include "stream/TorrentEngine.h"
#include "stream/WatchPositions.h"

namespace morvane::stream {

class FileRoutes {
 public:
  // The positions are kept in `positionsFile`.
  FileRoutes(TorrentEngine& engine, const std::filesystem::path& positionsFile);

  // Answers the requests above; false when the target is none of them.
  bool Answer(const std::string& method, const std::string& target, HttpResponder& responder);

 private:
  void ServeFiles(const std::string& hash, bool headOnly, HttpResponder& responder);
  void ServePosition(const std::string& method, const std::string& rest, const std::string& query,
                     HttpResponder& responder);

  TorrentEngine& engine_;
  WatchPositions positions_;
};

// The video that the name of a "/stream/HASH/NAME" address (escaped as sent) stands for;
// nothing when NAME names no video of the torrent (or the stream is unknown). Reading it does
// not make it the video that plays (a player's request left over from the episode before
// must not take the download back); a link's "so=" does.
std::optional<TorrentEngine::Playable> PlayableNamed(TorrentEngine& engine, const std::string& hash,
                                                     const std::string& escapedName);

// The name in an address "PREFIX HASH/NAME[?...]" (for "/stream/" and "/convert/"), escaped as
// sent; "" when there is none.
std::string NameAfterHash(const std::string& target, std::string_view prefix);

}  // namespace morvane::stream
