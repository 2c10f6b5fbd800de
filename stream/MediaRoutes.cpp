#include "stream/MediaRoutes.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "media/Converter.h"
#include "media/EmbeddedSubtitles.h"
#include "media/MediaProbe.h"
#include "media/SubtitleOrder.h"
#include "media/WebVtt.h"
#include "platform/NumberText.h"
#include "stream/DlnaHeaders.h"
#include "stream/JsonText.h"
#include "stream/Links.h"
#include "stream/VideoFiles.h"

namespace morvane::stream {

namespace {

// A subtitle file larger than this is no subtitle file.
constexpr std::int64_t kMaxSubtitleBytes = 8 << 20;
// How long the probe may wait for the pieces it reads: with the wait for the metadata it
// stays below the minute after which the program gives up on a resolution.
constexpr auto kProbeLimit = std::chrono::seconds(25);
// When the player asks again for a track inside a video still downloading.
constexpr int kEmbeddedRetrySeconds = 3;

// One subtitle of a stream: a file beside the video or a text track inside it.
struct Subtitle {
  int file = -1;         // side file index, or
  int track = -1;        // the container's stream index
  std::string name;      // the side file's path in the torrent
  media::SubtitleChoice choice;
  std::string webVtt;    // once made
  std::string error;     // why a track inside the video could not be read
};

// A conversion under way: a newer one of the same video cancels it.
struct Conversion {
  media::Converter* converter = nullptr;
  std::atomic<bool> stop{false};
};

// The value of `key` in a query ("start=12.5&x=1"), as seconds; 0 when absent or not a
// finite time from zero on.
double SecondsIn(const std::string& query, const std::string& key) {
  std::size_t at = 0;
  while ((at = query.find(key + "=", at)) != std::string::npos) {
    if (at == 0 || query[at - 1] == '&' || query[at - 1] == '?') {
      const std::size_t first = at + key.size() + 1;
      const std::size_t last = std::min(query.find('&', first), query.size());
      const double value = ParseNumber(std::string_view(query).substr(first, last - first)).value_or(0);
      return value > 0 && value < 1e7 ? value : 0;
    }
    at += key.size();
  }
  return 0;
}

// The value of `key` in a query as a whole number: -1 when absent, -2 when it is no number.
int IndexIn(const std::string& query, const std::string& key) {
  for (std::size_t at = 0; at < query.size();) {
    const std::size_t end = std::min(query.find('&', at), query.size());
    if (query.compare(at, key.size() + 1, key + "=") == 0) {
      const char* first = query.data() + at + key.size() + 1;
      int value = -1;
      const auto [stop, error] = std::from_chars(first, query.data() + end, value);
      return error == std::errc() && stop == query.data() + end && value >= 0 ? value : -2;
    }
    at = end + 1;
  }
  return -1;
}

// What a converted stream's address calls the video: its name without the extension.
std::string ConvertedName(const std::string& fileName) {
  std::string name = fileName;
  if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  return name + ".mp4";
}

std::string Seconds(double value) { return FixedText(value, 3); }

std::string LastPart(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void SendText(HttpResponder& responder, int status, const std::string& type, const std::string& body,
              const HttpHeaders& extra = {}) {
  HttpHeaders headers = NoStoreHeaders();
  headers.insert(headers.end(), extra.begin(), extra.end());
  responder.Send(status, type, body, headers);
}

}  // namespace

struct MediaEntry {
  std::string hash;
  int file = -1;  // the video's index in the torrent
  std::string fileName;
  std::int64_t size = 0;
  media::MediaInfo info;

  std::mutex mutex;  // guards what follows
  bool listed = false;
  std::vector<Subtitle> subtitles;  // in the player's order
  std::shared_ptr<Conversion> conversion;
  // The tracks inside the video are read together, once, by a worker of their own.
  enum class Inside { kUnread, kReading, kRead } inside = Inside::kUnread;
  std::condition_variable insideRead;
};

MediaRoutes::MediaRoutes(TorrentEngine& engine, std::chrono::milliseconds embeddedWait)
    : engine_(engine), embeddedWait_(embeddedWait) {
  media::QuietLibavLog();
}

MediaRoutes::~MediaRoutes() {
  Stop();
  for (InsideReader& worker : insideReaders_) worker.thread.join();
}

media::ByteSource MediaRoutes::SourceOf(const std::string& hash, int video, const std::string& name,
                                        PieceReader::Kind kind, std::function<bool()> stop) {
  // The reader lives as long as the source and its copies: as long as the media input.
  std::shared_ptr<PieceReader> reader = engine_.OpenReader(hash, kind, video);
  media::ByteSource source;
  source.name = name;
  if (!reader) return source;  // an empty source: nothing to read
  source.size = static_cast<std::uint64_t>(reader->size());
  source.readAt = [this, reader, stop = std::move(stop)](std::uint64_t offset, char* buffer,
                                                          std::size_t length) -> std::int64_t {
    const auto ended = [&] { return stopping_.load() || (stop && stop()); };
    if (ended()) return -1;
    return reader->ReadAt(static_cast<std::int64_t>(offset), buffer, length, ended);
  };
  return source;
}

std::shared_ptr<MediaEntry> MediaRoutes::Known(const std::string& hash) const {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(hash);
  return it == entries_.end() ? nullptr : it->second;
}

std::shared_ptr<MediaEntry> MediaRoutes::Probe(const std::string& hash) {
  const auto playable = engine_.Find(hash);
  if (!playable) return nullptr;
  // A refusal is not kept: the reads may have failed for a reason that passes (a stall).
  if (auto known = Known(hash); known && known->file == playable->file &&
                                known->info.decision != media::Decision::kUnplayable)
    return known;
  auto entry = std::make_shared<MediaEntry>();
  entry->hash = hash;
  entry->file = playable->file;
  entry->fileName = playable->fileName;
  entry->size = playable->size;
  const auto deadline = std::chrono::steady_clock::now() + kProbeLimit;
  const auto late = [deadline] { return std::chrono::steady_clock::now() > deadline; };
  entry->info = media::ProbeMedia(
      SourceOf(hash, playable->file, playable->fileName, PieceReader::Kind::kProbe, late),
      &stopping_);
  if (entry->info.decision == media::Decision::kUnplayable && late())
    entry->info.reason = "the start and end of the video did not arrive within " +
                         std::to_string(kProbeLimit.count()) + " s";
  std::lock_guard lock(mutex_);
  entries_[hash] = entry;
  return entry;
}

Resolution MediaRoutes::Decide(Resolution resolved, const std::string& base) {
  const std::string prefix = base + "/stream/";
  if (!resolved.address.starts_with(prefix)) return resolved;
  const std::string rest = resolved.address.substr(prefix.size());
  const std::string hash = rest.substr(0, rest.find('/'));
  const auto entry = Probe(hash);
  if (!entry) return {{}, "the stream ended before its video could be read"};
  // Subtitle files are wanted at once, ahead of the video, so the player finds them ready
  // (a season pack's, only those of this episode).
  for (const SideSubtitle& side : SideSubtitles(hash, entry->file))
    engine_.WantSideFile(hash, side.file.index);
  switch (entry->info.decision) {
    case media::Decision::kPlayable:
      return resolved;
    case media::Decision::kUnplayable:
      return {{}, entry->info.reason};
    default:
      return {base + "/convert/" + hash + "/" + AddressSegment(ConvertedName(entry->fileName)), {}};
  }
}

std::optional<std::string> MediaRoutes::MediaType(const std::string& hash, int file) const {
  const auto entry = Known(hash);
  if (!entry || entry->file != file || entry->info.decision != media::Decision::kPlayable ||
      entry->info.mimeType.empty())
    return std::nullopt;
  return entry->info.mimeType;
}

bool MediaRoutes::Answer(const HttpRequest& request, HttpResponder& responder,
                         const std::string& keyPath) {
  const std::string& target = request.target;
  const bool convert = target.starts_with("/convert/");
  if (!convert && !target.starts_with("/subs/")) return false;
  const auto question = target.find('?');
  const std::string path = target.substr(0, question);
  const std::string query = question == std::string::npos ? "" : target.substr(question + 1);
  const std::string rest = path.substr(convert ? 9 : 6);
  const auto slash = rest.find('/');
  const std::string hash = rest.substr(0, slash);
  const std::string item = slash == std::string::npos ? "" : rest.substr(slash + 1);
  if (convert) {
    ServeConvert(hash, item, query, responder);
    return true;
  }
  const auto entry = Probe(hash);
  if (!entry) {
    SendText(responder, 404, "text/plain", "no such stream\n");
  } else if (item == "list.json") {
    ServeList(entry, keyPath, responder);
  } else {
    ServeSubtitle(entry, item, query, responder);
  }
  return true;
}

void MediaRoutes::ServeConvert(const std::string& hash, const std::string& item,
                               const std::string& query, HttpResponder& responder) {
  const auto entry = Probe(hash);
  if (!entry || entry->info.decision == media::Decision::kUnplayable) {
    responder.Send(404, "text/plain", entry ? "resp: " + entry->info.reason + "\n" : "no such stream\n");
    return;
  }
  // The address of another video of the torrent (one played before a switch) converts
  // nothing: it would be this video under that one's name.
  if (PercentDecode(item) != ConvertedName(entry->fileName)) {
    responder.Send(404, "text/plain", "not the video this stream plays\n");
    return;
  }
  // The sound in another language, when the film has one.
  const int audio = IndexIn(query, "audio");
  if (audio != -1 &&
      std::none_of(entry->info.streams.begin(), entry->info.streams.end(), [audio](const auto& s) {
        return s.index == audio && s.kind == media::StreamKind::kAudio;
      })) {
    responder.Send(404, "text/plain", "no such audio track\n");
    return;
  }
  HttpHeaders head = NoStoreHeaders();
  head.insert(head.end(), {{"Content-Type", "video/mp4"},
                           {"Accept-Ranges", "none"},
                           {"X-Content-Duration", Seconds(entry->info.durationSeconds)},
                           {"Access-Control-Expose-Headers", "X-Content-Duration, X-Start-Seconds"}});
  for (auto& header : DlnaHeaders(DlnaSource::kConverted)) head.push_back(std::move(header));
  if (responder.headOnly()) {
    responder.StartChunks(200, head);
    return;
  }
  // x264 takes both cores: a newer request for the same video (a seek) ends this one.
  auto conversion = std::make_shared<Conversion>();
  const media::ByteSource source = SourceOf(
      hash, entry->file, entry->fileName, PieceReader::Kind::kPlayer,
      [conversion, &responder] { return conversion->stop.load() || responder.ClientGone(); });
  media::ConvertOptions options;
  options.startSeconds = SecondsIn(query, "start");
  options.audioStream = audio;
  bool headSent = false;
  options.onStart = [&](const media::ConvertStart& start) {
    // Where in the film the output begins: the key frame at or before the time asked for.
    head.emplace_back("X-Start-Seconds", Seconds(std::max(0.0, start.startSeconds)));
    headSent = responder.StartChunks(200, head);
  };
  media::Converter converter(source, options);
  {
    std::lock_guard lock(entry->mutex);
    if (entry->conversion) {
      entry->conversion->stop = true;
      if (entry->conversion->converter) entry->conversion->converter->Cancel();
    }
    conversion->converter = &converter;
    entry->conversion = conversion;
  }
  if (stopping_) converter.Cancel();
  const media::ConvertResult result = converter.Run([&](const char* data, std::size_t size) {
    return headSent && !conversion->stop.load() && responder.SendChunk(data, size);
  });
  {
    std::lock_guard lock(entry->mutex);
    conversion->converter = nullptr;
    if (entry->conversion == conversion) entry->conversion.reset();
  }
  if (result.ok) {
    responder.EndChunks();
  } else if (!headSent && !responder.headSent()) {
    responder.Send(500, "text/plain", "resp: " + result.error + "\n");
  }
  // Otherwise the connection closes without the last chunk: the player sees a cut stream.
}

void MediaRoutes::ListSubtitles(MediaEntry& entry) {
  {
    std::lock_guard lock(entry.mutex);
    if (entry.listed) return;  // the tracks inside would be read from the file again
  }
  // This film's own subtitles (beside it by its name, or inside it), then those of a season
  // pack named for no episode.
  std::vector<Subtitle> found, shared;
  for (const SideSubtitle& side : SideSubtitles(entry.hash, entry.file)) {
    Subtitle subtitle;
    subtitle.file = side.file.index;
    subtitle.name = side.file.path;
    subtitle.choice.label = LastPart(side.file.path);
    (side.fit == media::SubtitleFit::kOwn ? found : shared).push_back(std::move(subtitle));
  }
  bool hasText = false;
  for (const auto& stream : entry.info.streams) hasText |= stream.kind == media::StreamKind::kSubtitle;
  if (hasText)
    for (const auto& track : media::ListEmbeddedSubtitles(
             SourceOf(entry.hash, entry.file, entry.fileName, PieceReader::Kind::kProbe, nullptr),
             &stopping_)) {
      if (!track.isText) continue;
      Subtitle subtitle;
      subtitle.track = track.streamIndex;
      subtitle.choice.label = !track.title.empty()      ? track.title
                              : !track.language.empty() ? track.language
                                                        : "track " + std::to_string(track.streamIndex);
      subtitle.choice.language = track.language;
      found.push_back(std::move(subtitle));
    }
  // Chinese first, the order found kept otherwise (the order OrderSubtitles gives).
  const auto chinese = [](const Subtitle& s) { return media::IsChinese(s.choice); };
  std::stable_partition(found.begin(), found.end(), chinese);
  std::stable_partition(shared.begin(), shared.end(), chinese);
  found.insert(found.end(), std::make_move_iterator(shared.begin()),
               std::make_move_iterator(shared.end()));
  std::lock_guard lock(entry.mutex);
  if (entry.listed) return;
  entry.subtitles = std::move(found);
  entry.listed = true;
}

void MediaRoutes::ServeList(const std::shared_ptr<MediaEntry>& entry, const std::string& keyPath,
                            HttpResponder& responder) {
  ListSubtitles(*entry);
  const bool converted = entry->info.decision != media::Decision::kPlayable &&
                         entry->info.decision != media::Decision::kUnplayable;
  std::string json = "{\"duration\":" + Seconds(entry->info.durationSeconds) +
                     ",\"decision\":" + JsonText(media::DecisionName(entry->info.decision)) +
                     ",\"converted\":" + (converted ? "true" : "false") + ",\"subtitles\":[";
  {
    std::lock_guard lock(entry->mutex);
    for (std::size_t i = 0; i < entry->subtitles.size(); ++i) {
      const Subtitle& s = entry->subtitles[i];
      json += (i ? ",{" : "{") + std::string("\"src\":") +
              JsonText(keyPath + "/subs/" + entry->hash + "/" + std::to_string(i) + ".vtt") +
              ",\"label\":" + JsonText(s.choice.label) +
              ",\"language\":" + JsonText(s.choice.language) +
              ",\"chinese\":" + (media::IsChinese(s.choice) ? "true" : "false") +
              ",\"default\":" + (i == 0 ? "true" : "false") + "}";
    }
  }
  // The sound tracks, for a film in several languages: /convert/...?audio=INDEX plays one.
  json += "],\"audio\":[";
  bool first = true;
  for (const media::StreamInfo& s : entry->info.streams) {
    if (s.kind != media::StreamKind::kAudio) continue;
    json += (first ? "{" : ",{") + std::string("\"index\":") + std::to_string(s.index) +
            ",\"title\":" + JsonText(s.title) + ",\"language\":" + JsonText(s.language) +
            ",\"codec\":" + JsonText(s.codec) + ",\"channels\":" + std::to_string(s.channels) +
            ",\"default\":" + (s.index == entry->info.audioStream ? "true" : "false") + "}";
    first = false;
  }
  // What a renderer must decode to take the film as it stands (a cast chooses by it).
  json += "],\"container\":" + JsonText(entry->info.container) + ",\"video\":";
  const auto video = std::find_if(entry->info.streams.begin(), entry->info.streams.end(),
                                  [&](const media::StreamInfo& s) { return s.index == entry->info.videoStream; });
  json += video == entry->info.streams.end() ? "null" : "{\"codec\":" + JsonText(video->codec) + "}";
  SendText(responder, 200, "application/json", json + "}\n");
}

void MediaRoutes::ServeSubtitle(const std::shared_ptr<MediaEntry>& entry, const std::string& item,
                                const std::string& query, HttpResponder& responder) {
  ListSubtitles(*entry);
  std::size_t number = 0;
  const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), number);
  Subtitle wanted;
  {
    std::lock_guard lock(entry->mutex);
    const std::string_view kind(end);
    if (error != std::errc() || (kind != ".vtt" && kind != ".srt") || number >= entry->subtitles.size()) {
      SendText(responder, 404, "text/plain", "no such subtitle\n");
      return;
    }
    wanted = entry->subtitles[number];
  }
  std::string vtt = wanted.webVtt;
  if (vtt.empty()) {
    const auto gone = [this, &responder] { return stopping_.load() || responder.ClientGone(); };
    media::SubtitleConversion made;
    if (wanted.file >= 0) {
      const auto bytes = engine_.ReadSideFile(entry->hash, wanted.file, kMaxSubtitleBytes, gone);
      if (bytes) made = media::ConvertSubtitleFile(*bytes, wanted.name, gone);
      else made.error = "the subtitle file did not arrive";
    } else {
      // Its cues are spread through the whole file: it is read once the download is done.
      // Until then the asker is told to come back, rather than holding a reader (and the
      // page's relay) for the whole download.
      const HttpHeaders again{{"Retry-After", std::to_string(kEmbeddedRetrySeconds)}};
      switch (engine_.AwaitWholeVideo(entry->hash, embeddedWait_, gone)) {
        case TorrentEngine::ReadEnd::kDone:
          break;
        case TorrentEngine::ReadEnd::kStalled:
          SendText(responder, 503, "text/plain",
                   "resp: the track is read once the whole video is downloaded\n", again);
          return;
        default:
          SendText(responder, 404, "text/plain", "no such stream\n");
          return;
      }
      if (!AwaitTracksInside(entry)) {
        SendText(responder, 503, "text/plain", "resp: the tracks inside the video are being read\n", again);
        return;
      }
      std::lock_guard lock(entry->mutex);
      made.webVtt = entry->subtitles[number].webVtt;
      made.error = entry->subtitles[number].error;
      made.ok = made.error.empty();
    }
    if (!made.ok) {
      SendText(responder, 502, "text/plain", "resp: " + made.error + "\n");
      return;
    }
    vtt = std::move(made.webVtt);
    std::lock_guard lock(entry->mutex);
    if (number < entry->subtitles.size()) entry->subtitles[number].webVtt = vtt;
  }
  // On the time line of a converted stream that starts later in the film.
  const double start = SecondsIn(query, "start");
  const bool subRip = std::string_view(end) == ".srt";
  if (start > 0 || subRip) {
    const auto gone = [this, &responder] { return stopping_.load() || responder.ClientGone(); };
    const std::vector<media::Cue> cues = media::ParseSubRip(vtt, gone);
    if (gone()) return;
    const auto shifted = media::ShiftCues(cues, static_cast<std::int64_t>(std::llround(start * 1000)));
    if (subRip) {
      SendText(responder, 200, "application/x-subrip; charset=utf-8", media::WriteSubRip(shifted));
      return;
    }
    vtt = media::WriteWebVtt(shifted);
  }
  SendText(responder, 200, "text/vtt; charset=utf-8", vtt);
}

bool MediaRoutes::AwaitTracksInside(const std::shared_ptr<MediaEntry>& entry) {
  using Inside = MediaEntry::Inside;
  std::unique_lock lock(entry->mutex);
  if (entry->inside == Inside::kUnread && !stopping_) {
    entry->inside = Inside::kReading;
    std::vector<int> tracks;
    for (const Subtitle& s : entry->subtitles)
      if (s.track >= 0) tracks.push_back(s.track);
    lock.unlock();
    {
      std::lock_guard workers(mutex_);
      std::erase_if(insideReaders_, [](InsideReader& worker) {
        if (!*worker.done) return false;
        worker.thread.join();
        return true;
      });
      // Not bound to this request: the askers that come after it find the tracks read.
      auto done = std::make_shared<std::atomic<bool>>(false);
      std::thread thread([this, entry, tracks, done] {
        const auto made = media::ExtractEmbeddedSubtitles(
            SourceOf(entry->hash, entry->file, entry->fileName, PieceReader::Kind::kProbe, nullptr),
            tracks, &stopping_);
        std::lock_guard held(entry->mutex);
        std::size_t i = 0;
        for (Subtitle& s : entry->subtitles) {
          if (s.track < 0 || i >= made.size()) continue;
          s.webVtt = made[i].ok ? made[i].webVtt : "";
          s.error = made[i].ok ? "" : made[i].error;
          ++i;
        }
        entry->inside = Inside::kRead;
        entry->insideRead.notify_all();
        *done = true;
      });
      insideReaders_.push_back({std::move(thread), std::move(done)});
    }
    lock.lock();
  }
  entry->insideRead.wait_for(lock, embeddedWait_,
                             [&] { return entry->inside == Inside::kRead || stopping_; });
  return entry->inside == Inside::kRead;
}

std::vector<MediaRoutes::SideSubtitle> MediaRoutes::SideSubtitles(const std::string& hash,
                                                                  int video) {
  std::string videoPath;
  std::vector<std::string> videos, paths;
  std::vector<TorrentFile> subtitles;
  for (const TorrentFile& file : engine_.Files(hash)) {
    if (IsVideo(file)) videos.push_back(file.path);
    if (file.index == video) videoPath = file.path;
    if (media::SubtitleFormatFromName(file.path) != media::SubtitleFormat::kUnknown) {
      subtitles.push_back(file);
      paths.push_back(file.path);
    }
  }
  std::vector<SideSubtitle> matched;
  for (const media::SubtitleMatch& match : media::SubtitlesForVideo(videoPath, videos, paths))
    matched.push_back({subtitles[match.position], match.fit});
  return matched;
}

void MediaRoutes::Stop() {
  stopping_ = true;
  std::lock_guard lock(mutex_);
  for (const auto& [hash, entry] : entries_) {
    std::lock_guard entryLock(entry->mutex);
    entry->insideRead.notify_all();
    if (!entry->conversion) continue;
    entry->conversion->stop = true;
    if (entry->conversion->converter) entry->conversion->converter->Cancel();
  }
}

}  // namespace morvane::stream
