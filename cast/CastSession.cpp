#include "cast/CastSession.h"

#include <json-glib/json-glib.h>

#include <algorithm>
#include <charconv>
#include <thread>

#include "cast/Didl.h"
#include "cast/SinkMatch.h"
#include "platform/NumberText.h"
#include "web/FetchPage.h"

namespace morvane::cast {

namespace {

// The service's reads for a cast are small and local: they get a deadline of their own
// rather than the page deadline of two minutes.
constexpr std::chrono::seconds kServiceReadDeadline{20};
// A subtitle list longer than this is not the service's.
constexpr std::size_t kMostListBytes = 1 << 20;

struct FilmFacts {
  bool ok = false;
  std::string error;
  double duration = 0;
  std::string container, videoCodec, audioCodec;
  int subtitles = 0;
};

std::string StringMember(JsonObject* object, const char* name) {
  if (!object || !json_object_has_member(object, name)) return "";
  JsonNode* node = json_object_get_member(object, name);
  return JSON_NODE_HOLDS_VALUE(node) && json_node_get_value_type(node) == G_TYPE_STRING
             ? json_node_get_string(node)
             : "";
}

// What GET /subs/HASH/list.json says of the film: its length, codecs and subtitles.
FilmFacts ReadFacts(const std::string& listAddress, int audio) {
  FilmFacts facts;
  FetchOptions options;
  options.asReceived = true;
  options.deadline = kServiceReadDeadline;
  const std::string body = FetchPageBytes(listAddress, options);
  if (body.empty() || body.size() > kMostListBytes) {
    facts.error = "the service does not describe the film";
    return facts;
  }
  JsonParser* parser = json_parser_new();
  if (json_parser_load_from_data(parser, body.data(), static_cast<gssize>(body.size()), nullptr) &&
      JSON_NODE_HOLDS_OBJECT(json_parser_get_root(parser))) {
    JsonObject* root = json_node_get_object(json_parser_get_root(parser));
    facts.ok = true;
    if (json_object_has_member(root, "duration"))
      facts.duration = json_object_get_double_member(root, "duration");
    facts.container = StringMember(root, "container");
    if (json_object_has_member(root, "video") &&
        JSON_NODE_HOLDS_OBJECT(json_object_get_member(root, "video")))
      facts.videoCodec = StringMember(json_object_get_object_member(root, "video"), "codec");
    if (json_object_has_member(root, "subtitles") &&
        JSON_NODE_HOLDS_ARRAY(json_object_get_member(root, "subtitles")))
      facts.subtitles = static_cast<int>(
          json_array_get_length(json_object_get_array_member(root, "subtitles")));
    if (json_object_has_member(root, "audio") &&
        JSON_NODE_HOLDS_ARRAY(json_object_get_member(root, "audio"))) {
      JsonArray* tracks = json_object_get_array_member(root, "audio");
      for (guint i = 0; i < json_array_get_length(tracks); ++i) {
        JsonObject* track = json_array_get_object_element(tracks, i);
        if (!track) continue;
        const bool chosen = audio >= 0 ? json_object_get_int_member_with_default(track, "index", -1) == audio
                                       : json_object_get_boolean_member_with_default(track, "default", FALSE);
        if (chosen) facts.audioCodec = StringMember(track, "codec");
      }
    }
  } else {
    facts.error = "the service's description of the film is unreadable";
  }
  g_object_unref(parser);
  return facts;
}

// The value of header `name` in the raw header lines of an answer.
std::string HeaderValue(const std::string& raw, std::string_view name) {
  for (std::size_t at = 0; at < raw.size();) {
    const std::size_t end = std::min(raw.find("\r\n", at), raw.size());
    const std::string_view line(raw.data() + at, end - at);
    if (line.size() > name.size() && line[name.size()] == ':' &&
        std::equal(name.begin(), name.end(), line.begin(),
                   [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
      std::string value(line.substr(name.size() + 1));
      value.erase(0, value.find_first_not_of(' '));
      return value;
    }
    at = end + 2;
  }
  return "";
}

// The type and size of a stream address: its first byte asked for, the answer's
// Content-Type and the total in Content-Range.
void ReadTypeAndSize(const std::string& address, std::string& mimeType, std::int64_t& size) {
  std::string raw, headers = "Range: bytes=0-0";
  FetchOptions options;
  options.asReceived = true;
  options.headerText = &headers;
  options.rawHeaders = &raw;
  options.deadline = kServiceReadDeadline;
  FetchPageBytes(address, options);
  mimeType = HeaderValue(raw, "Content-Type");
  mimeType = mimeType.substr(0, mimeType.find(';'));
  const std::string range = HeaderValue(raw, "Content-Range");
  const auto slash = range.rfind('/');
  size = -1;
  if (slash != std::string::npos)
    std::from_chars(range.data() + slash + 1, range.data() + range.size(), size);
}

// "http://127.0.0.1:47083/KEY", "http://[::1]:1", "http://localhost:1".
bool IsLoopbackBase(const std::string& base) {
  const auto start = base.find("://");
  if (start == std::string::npos) return false;
  const std::string host = base.substr(start + 3, base.find_first_of(":/", start + 3) - start - 3);
  return host.starts_with("127.") || host == "localhost" || base.compare(start + 3, 5, "[::1]") == 0;
}

std::string Seconds(double value) { return FixedText(value, 3); }

}  // namespace

std::optional<ServiceAddressParts> SplitFilmAddress(const std::string& address) {
  for (const char* kind : {"stream", "convert"}) {
    const std::string marker = std::string("/") + kind + "/";
    const auto at = address.find(marker);
    if (at == std::string::npos || !address.starts_with("http")) continue;
    ServiceAddressParts parts{address.substr(0, at), kind, "", ""};
    std::string rest = address.substr(at + marker.size());
    rest = rest.substr(0, rest.find_first_of("?#"));
    const auto slash = rest.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == rest.size()) return std::nullopt;
    parts.hash = rest.substr(0, slash);
    parts.name = rest.substr(slash + 1);
    return parts;
  }
  return std::nullopt;
}

CastSession::CastSession(Renderers& renderers, std::string rendererId, RendererBase base)
    : renderers_(renderers), rendererId_(std::move(rendererId)), base_(std::move(base)) {}

CastOutcome CastSession::Start(const CastFilm& film) {
  std::lock_guard lock(mutex_);
  CastOutcome outcome;
  const auto renderer = renderers_.Get(rendererId_);
  const auto parts = SplitFilmAddress(film.address);
  if (!renderer || !parts) {
    outcome.error = renderer ? "not a film of the streaming service" : "the renderer is gone";
    return outcome;
  }
  // A service on another machine (a home server) is reached by the renderer as by us.
  rendererBase_ = IsLoopbackBase(parts->base) ? base_(*renderer) : parts->base;
  if (rendererBase_.empty()) {
    outcome.error = "the streaming service cannot be reached from " + renderer->interfaceName;
    return outcome;
  }
  film_ = film;
  hash_ = parts->hash;
  const FilmFacts facts = ReadFacts(parts->base + "/subs/" + hash_ + "/list.json", film.audio);
  if (!facts.ok) {
    outcome.error = facts.error;
    return outcome;
  }
  if (film_.subtitle >= facts.subtitles) film_.subtitle = -1;
  duration_ = facts.duration;
  std::string convertName = parts->name;
  if (parts->kind == "stream") {
    streamName_ = parts->name;
    ReadTypeAndSize(parts->base + "/stream/" + hash_ + "/" + streamName_, mimeType_, size_);
    if (const auto dot = convertName.rfind('.'); dot != std::string::npos && dot > 0)
      convertName.resize(dot);
    convertName += ".mp4";
  } else {
    streamName_.clear();
  }
  convertName_ = convertName;
  const auto sink = renderers_.SinkProtocols(rendererId_);
  const CastChoice choice =
      ChooseForSink({mimeType_, facts.container, facts.videoCodec, facts.audioCodec},
                    sink.value_or(std::vector<std::string>{}));
  convert_ = choice.convert || streamName_.empty();
  reason_ = choice.convert ? choice.reason : streamName_.empty() ? "the page plays a conversion" : "";
  if (convert_) mimeType_ = choice.convert ? choice.mimeType : "video/mp4";
  else mimeType_ = choice.mimeType;
  return Send(film.startSeconds);
}

CastOutcome CastSession::Send(double startSeconds) {
  CastOutcome outcome;
  outcome.converted = convert_;
  outcome.reason = reason_;
  CastItem item;
  item.title = film_.title;
  item.mimeType = mimeType_;
  item.durationSeconds = duration_;
  std::string subtitleQuery;
  if (convert_) {
    offset_ = std::max(0.0, startSeconds);
    item.source = stream::DlnaSource::kConverted;
    item.uri = rendererBase_ + "/convert/" + hash_ + "/" + convertName_ + "?start=" + Seconds(offset_);
    if (film_.audio >= 0) item.uri += "&audio=" + std::to_string(film_.audio);
    subtitleQuery = "?start=" + Seconds(offset_);
  } else {
    offset_ = 0;
    item.uri = rendererBase_ + "/stream/" + hash_ + "/" + streamName_;
    // The subtitle named on the film's answers too (CaptionInfo.sec).
    if (film_.subtitle >= 0) item.uri += "?caption=" + std::to_string(film_.subtitle);
    item.size = size_;
  }
  if (film_.subtitle >= 0) {
    item.subtitleUri = rendererBase_ + "/subs/" + hash_ + "/" + std::to_string(film_.subtitle) +
                       ".srt" + subtitleQuery;
    item.subtitleType = "srt";
  }
  outcome.uri = item.uri;
  ActionResult result = renderers_.SetUri(rendererId_, item.uri, DidlLite(item));
  if (result.ok) result = renderers_.Play(rendererId_);
  if (result.ok && !convert_ && startSeconds > 0) {
    // A renderer takes a seek only once it plays: asked for the first few seconds.
    for (int i = 0; i < 20; ++i) {
      const auto state = renderers_.State(rendererId_);
      if (state && state->state == "PLAYING") break;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    renderers_.Seek(rendererId_, startSeconds);
  }
  outcome.ok = result.ok;
  outcome.error = result.error;
  return outcome;
}

ActionResult CastSession::Pause() {
  std::lock_guard lock(mutex_);
  return renderers_.Pause(rendererId_);
}

ActionResult CastSession::Resume() {
  std::lock_guard lock(mutex_);
  return renderers_.Play(rendererId_);
}

ActionResult CastSession::Stop() {
  std::lock_guard lock(mutex_);
  return renderers_.Stop(rendererId_);
}

ActionResult CastSession::Seek(double seconds) {
  std::lock_guard lock(mutex_);
  seconds = std::max(0.0, duration_ > 0 ? std::min(seconds, duration_) : seconds);
  if (!convert_) return renderers_.Seek(rendererId_, seconds);
  const CastOutcome outcome = Send(seconds);
  return {outcome.ok, outcome.error, {}};
}

ActionResult CastSession::SetVolume(int volume) {
  std::lock_guard lock(mutex_);
  return renderers_.SetVolume(rendererId_, volume);
}

std::optional<int> CastSession::Volume() {
  std::lock_guard lock(mutex_);
  return renderers_.Volume(rendererId_);
}

std::optional<TransportState> CastSession::State() {
  std::lock_guard lock(mutex_);
  auto state = renderers_.State(rendererId_);
  if (state) {
    state->seconds += offset_;
    if (duration_ > 0) state->duration = duration_;
  }
  return state;
}

}  // namespace morvane::cast
