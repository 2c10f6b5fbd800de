#pragma once
// What the service does for a video the embedded browser cannot play as it stands: it
// probes the chosen file through the piece-waiting reader, points the player at a fragmented
// MP4 made on the fly when needed, and serves the torrent's subtitles as WebVTT.
//
//   GET /convert/HASH/NAME.mp4?start=S[&audio=N]   the video from S seconds on, as fragmented
//                                         MP4 with sound track N (chunked; X-Content-Duration:
//                                         the film's length)
//   GET /subs/HASH/list.json             the film's length, whether it is converted, its
//                                         subtitles in the order the player lists them, its
//                                         sound tracks, its container and picture codec
//   GET /subs/HASH/N.vtt?start=S         subtitle N as WebVTT on the time line of a converted
//                                         stream started at S; 503 with Retry-After while
//                                         a track inside the video waits for the download
//   GET /subs/HASH/N.srt?start=S         the same as SubRip, for renderers on the network

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "media/ByteSource.h"
#include "media/SubtitleOrder.h"
#include "stream/LinkResolver.h"
#include "stream/TorrentEngine.h"
#include "web/HttpServer.h"

namespace morvane::stream {

struct MediaEntry;

class MediaRoutes {
 public:
  // A request for a track inside the video waits at most `embeddedWait` for the download.
  MediaRoutes(TorrentEngine& engine, std::chrono::milliseconds embeddedWait);
  ~MediaRoutes();
  MediaRoutes(const MediaRoutes&) = delete;
  MediaRoutes& operator=(const MediaRoutes&) = delete;

  // Given what the link resolved to: a torrent's "/stream/" address stays when the browser
  // plays the file, becomes a "/convert/" address when it needs converting, and becomes a
  // refusal with the reason when nothing can play it. Other answers pass unchanged.
  Resolution Decide(Resolution resolved, const std::string& base);

  // Answers /convert/ and /subs/ requests; false when the target is not one of them. The
  // target comes without the service's key; `keyPath` ("/KEY", or "") goes before the
  // addresses answered.
  bool Answer(const HttpRequest& request, HttpResponder& responder, const std::string& keyPath = {});

  // What video `file` of a stream served as it stands is sent as, when its probe said.
  std::optional<std::string> MediaType(const std::string& hash, int file) const;

  // Cancels every conversion; reads blocked in the engine end with its EndReaders.
  void Stop();

 private:
  std::shared_ptr<MediaEntry> Probe(const std::string& hash);
  std::shared_ptr<MediaEntry> Known(const std::string& hash) const;
  // Video `video` of the stream as a byte source read by a reader of `kind`; `stop` ends its
  // waits.
  media::ByteSource SourceOf(const std::string& hash, int video, const std::string& name,
                             PieceReader::Kind kind, std::function<bool()> stop);
  void ServeConvert(const std::string& hash, const std::string& item, const std::string& query,
                    HttpResponder& responder);
  void ServeList(const std::shared_ptr<MediaEntry>& entry, const std::string& keyPath,
                 HttpResponder& responder);
  void ServeSubtitle(const std::shared_ptr<MediaEntry>& entry, const std::string& item,
                     const std::string& query, HttpResponder& responder);
  void ListSubtitles(MediaEntry& entry);
  // The subtitle files of the torrent that go with video `video` (see SubtitlesForVideo).
  struct SideSubtitle {
    TorrentFile file;
    media::SubtitleFit fit;
  };
  std::vector<SideSubtitle> SideSubtitles(const std::string& hash, int video);
  // Once the whole video is in: reads its text tracks in one pass (started by the first
  // asker), waiting for them at most the embedded wait; true once they are read.
  bool AwaitTracksInside(const std::shared_ptr<MediaEntry>& entry);

  TorrentEngine& engine_;
  const std::chrono::milliseconds embeddedWait_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<MediaEntry>> entries_;
  // Readers of the tracks inside videos, guarded by mutex_: the finished ones are joined
  // when the next one starts (a thread left unjoined keeps its stack), the rest when the
  // routes are destroyed.
  struct InsideReader {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<InsideReader> insideReaders_;
};

}  // namespace morvane::stream
