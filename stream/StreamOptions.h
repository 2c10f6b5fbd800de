#pragma once
// What a streaming service is told when it starts.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "stream/TorrentLifecycle.h"
#include "web/HttpServer.h"

namespace morvane::stream {

struct StreamOptions {
  std::string bindAddress = "127.0.0.1";
  int port = 0;                                  // 0: a free port
  std::string cacheDir;                          // empty: $XDG_CACHE_HOME (or ~/.cache) + "/morvane/stream"
  std::uint64_t cacheCapBytes = 10ull << 30;     // least-recently-used torrents evicted past it
  // Left free on the cache's disk: a torrent whose video would eat into it is refused.
  std::uint64_t keepFreeBytes = 64ull << 20;
  // Bytes a second for the whole session, peers on this machine included; 0: no limit.
  std::int64_t maxDownloadRate = 0;
  std::int64_t maxUploadRate = 0;
  // When a torrent nobody watches stops downloading, and how long it seeds afterwards
  // (stream/TorrentLifecycle.h).
  LifecycleSettings lifecycle;
  bool dht = true;
  std::vector<std::string> dhtBootstrapNodes;    // "host:port"
  std::vector<std::string> extraTrackers;        // announce URLs added to every torrent
  bool localPeerDiscovery = true;                // LSD, UPnP, NAT-PMP; tests turn them off
  std::chrono::seconds metadataTimeout{30};
  std::chrono::seconds stallTimeout{60};
  // How often the resume data of the torrents is saved while they download, so a crash or a
  // kill loses at most that much of the download; zero: only on the way (metadata, finish,
  // stop, shutdown).
  std::chrono::milliseconds resumeSaveInterval{30000};
  // A subtitle track inside the video is read once the whole video is in: until then a
  // request for it waits this long, then is told to ask again (a reader is not held for
  // the whole download).
  std::chrono::milliseconds embeddedSubtitleWait{5000};
  // Where the BitTorrent session listens for peers (libtorrent's listen_interfaces).
  std::string peerInterfaces = "0.0.0.0:0,[::]:0";
  // Where it connects to peers from (libtorrent's outgoing_interfaces); "": any interface.
  std::string peerOutgoingInterfaces;
  // Readers of the HTTP server (connections answered at once).
  int httpReaders = 16;
  // The chosen video is probed: what the browser cannot play is converted on the fly, what
  // nothing can read is refused. Off, every video is served as it stands.
  bool convertMedia = true;
  // The access key (stream/AccessKey.h). Bound beyond loopback the service answers nobody
  // without it, and does not start without one; on loopback a request may carry it.
  std::string accessKey;
  // Told of every request answered, with its status; the target as sent, key included.
  HttpLog requestLog;
};

// $XDG_CACHE_HOME (or ~/.cache) + "/morvane/stream".
std::string DefaultCacheDir();

}  // namespace morvane::stream
