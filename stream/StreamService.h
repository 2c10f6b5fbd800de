#pragma once
// Morvane's own video resolution service. It answers the resolution contract
// ("/xml.php?url=LINK" -> "<file>ADDRESS</file>", or a text holding "resp" and a reason when
// the link cannot play) and serves the video of a torrent over HTTP with byte ranges while
// it downloads from the swarm.
//
//   GET  /xml.php?url=LINK   resolve LINK (sent unencoded, read from the raw request target);
//                            "so=" in a magnet or .torrent address picks the video
//   GET  /stream/HASH/NAME   the torrent's video NAME (HEAD too; one Range)
//   GET  /files/HASH, /position/HASH/N   its files and the viewer's place (stream/FileRoutes.h)
//   GET  /status/HASH        JSON: peers, download rate, bytes verified, buffered ranges
//   GET  /stop/HASH          stop downloading a stream (its files stay cached)
//   GET  /relay/ID/NAME      an ftp media address relayed with Range
//   GET  /convert/..., /subs/...  converted streams and subtitles (stream/MediaRoutes.h)

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stream/StreamOptions.h"

namespace morvane::stream {

class StreamService {
 public:
  explicit StreamService(StreamOptions options);
  ~StreamService();   // Stop()
  StreamService(const StreamService&) = delete;
  StreamService& operator=(const StreamService&) = delete;

  bool Start();       // binds and starts serving; false when the address cannot be bound
  int Port() const;   // the bound port
  void Stop();        // clean shutdown in under 2 s

 private:
  struct Impl;
  StreamOptions options_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace morvane::stream
