#pragma once
// Morvane's own video resolution service. It answers the resolution contract
// ("/xml.php?url=LINK" -> "<file>ADDRESS</file>", or a text holding "resp" and a reason when
// the link cannot play) and serves the video of a torrent over HTTP with byte ranges while
// it downloads from the swarm.
//
//   GET  /xml.php?url=LINK   resolve LINK (sent unencoded, read from the raw request target);
//                            "so=" in a magnet or .torrent address picks the video
//   GET  /stream/HASH/NAME   the torrent's video NAME (HEAD too; one Range)
//   GET  /files/HASH         its files, with the address of each video (stream/FileRoutes.h)
//   GET, POST /position/HASH/N   the viewer's place in a film (stream/FileRoutes.h)
//   GET  /status/HASH        JSON: peers, download rate, bytes verified, buffered ranges
//   POST /stop/HASH          stop downloading a stream (its files stay cached)
//   GET  /relay/ID/NAME      an ftp media address relayed with Range
//   GET  /convert/..., /subs/...  converted streams and subtitles (stream/MediaRoutes.h)
//
// Bound beyond loopback it answers only requests that carry its access key
// (stream/AccessKey.h): "/KEY/xml.php?url=...", "/KEY/stream/...", or any route with
// "Authorization: Bearer KEY"; the addresses it answers then begin with "/KEY" as well.
// Bytes, slow work (resolutions, subtitles) and quick answers have separate workers (see
// web/HttpServer.h), so neither a swarm nobody seeds nor a slow client holds up the others.

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

  // Binds and starts serving; false when the address cannot be bound, or it is beyond
  // loopback and the options carry no usable key.
  bool Start();
  int Port() const;   // the bound port
  // Answers on `address` as well (one of this machine's interface addresses), for a
  // renderer on the local network to fetch from while casting: requests reaching it need the
  // key and get nothing inside opened for them, whatever the service's own address. It takes
  // the service's own port when that is free there. Returns the base of the addresses
  // answered there, "http://ADDRESS:PORT/KEY" ("[v6]" for IPv6), the same again for an
  // address already open, "" when it cannot bind or the service has no key.
  std::string OpenKeyedListener(const std::string& address);
  void CloseKeyedListeners();
  void Stop();        // clean shutdown in under 2 s

 private:
  struct Impl;
  StreamOptions options_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace morvane::stream
