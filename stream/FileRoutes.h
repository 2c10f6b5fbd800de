#pragma once
// The files of a torrent being streamed and the viewer's place in each of its films: what a
// player page needs to list a season's episodes, play another and pick up where it stopped.
//
//   GET  /files/HASH        {"files":[{"index","name","size","video","address","playing",
//                           "sample"},...]}: every file of the torrent, videos first in episode
//                           order, each video with the address that streams it
//                           ("[/KEY]/stream/HASH/NAME"), whether it plays now and whether it is
//                           a release's sample clip
//   GET  /position/HASH/N   {"seconds","duration","subtitleShift"} of video N (zeros when
//                           nothing is kept)
//   POST /position/HASH/N?seconds=S&duration=D&subtitleShift=X   records them (any of the
//                           three; 204)
//
// Only torrents the service is streaming are known here (404 otherwise). A torrent's list is
// made once and kept while it is asked for: a season of thousands of files answers tens of
// megabytes, which a client asking again and again must not make again and again.

#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "stream/TorrentEngine.h"
#include "stream/WatchPositions.h"
#include "web/HttpServer.h"

namespace morvane::stream {

class FileRoutes {
 public:
  // The positions are kept in `positionsFile`.
  FileRoutes(TorrentEngine& engine, const std::filesystem::path& positionsFile);

  // GET /files/...: `target` comes without the service's key, and `keyPath` ("/KEY", or "")
  // goes before the addresses answered.
  void ServeFiles(const std::string& target, const std::string& keyPath, HttpResponder& responder);
  // GET and POST /position/...
  void ServePosition(const std::string& method, const std::string& target,
                     HttpResponder& responder);

 private:
  // The answer to GET /files for a torrent, its addresses beginning with `keyPath`, while
  // video `playing` plays; nothing when the torrent is not streamed.
  std::shared_ptr<const std::string> FileList(const std::string& hash, const std::string& keyPath,
                                              int playing);

  TorrentEngine& engine_;
  WatchPositions positions_;

  struct Listed {
    std::string hash, keyPath;
    int playing = -1;
    std::shared_ptr<const std::string> body;
  };
  // Held while a list is made, so that many asking at once wait for the one being made.
  std::mutex listsMutex_;
  std::deque<Listed> lists_;  // the most recently asked for last
};

// The video that the name part of a "/stream/HASH/NAME" address (escaped as sent, a query may
// follow; see VideoOfAddress) stands for; nothing when it names no video of the torrent (or
// the stream is unknown). Reading it does not make it the video that plays (a player's
// request left over from the episode before must not take the download back); a link's
// "so=" does.
std::optional<TorrentEngine::Playable> PlayableNamed(TorrentEngine& engine, const std::string& hash,
                                                     const std::string& namePart);

}  // namespace morvane::stream
