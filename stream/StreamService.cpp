#include "stream/StreamService.h"

#include <charconv>

#include "stream/CurlTransfer.h"
#include "stream/HttpRange.h"
#include "stream/HttpServer.h"
#include "stream/LinkResolver.h"
#include "stream/MediaRoutes.h"
#include "stream/StatusJson.h"
#include "stream/TorrentEngine.h"
#include "stream/VideoFiles.h"

namespace morvane::stream {

namespace {

// "/stream/HASH/NAME" -> "HASH" for prefix "/stream/".
std::string Segment(const std::string& target, std::string_view prefix) {
  std::string rest = target.substr(prefix.size());
  rest = rest.substr(0, rest.find_first_of("/?#"));
  return rest;
}

bool PlainHost(const std::string& host) {
  if (host.empty() || host.size() > 255) return false;
  for (const char c : host)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':' &&
        c != '[' && c != ']')
      return false;
  return true;
}

// Headers of an answer over bytes [range.begin, range.end) of a body of `size` bytes.
HttpHeaders RangeHeaders(const std::string& type, const ByteRange& range, std::int64_t size,
                         bool partial) {
  HttpHeaders headers{{"Content-Type", type},
                      {"Content-Length", std::to_string(range.end - range.begin)},
                      {"Accept-Ranges", "bytes"}};
  if (partial)
    headers.emplace_back("Content-Range", "bytes " + std::to_string(range.begin) + "-" +
                                              std::to_string(range.end - 1) + "/" +
                                              std::to_string(size));
  return headers;
}

// Answers a Range request's head; false when it was answered in full (416).
bool SendRangeHead(HttpResponder& responder, const std::string& rangeHeader,
                   const std::string& type, std::int64_t size, ByteRange& range) {
  const RangeResult result = ParseRange(rangeHeader, size, range);
  if (result == RangeResult::kUnsatisfiable) {
    responder.SendHead(416, {{"Content-Range", "bytes */" + std::to_string(size)},
                             {"Content-Length", "0"}});
    return false;
  }
  const bool partial = result == RangeResult::kPartial;
  return responder.SendHead(partial ? 206 : 200, RangeHeaders(type, range, size, partial));
}

}  // namespace

struct StreamService::Impl {
  explicit Impl(const StreamOptions& options)
      : options(options),
        engine(options),
        server([this](const HttpRequest& request, HttpResponder& responder) {
          Answer(request, responder);
        }, Limits(options)) {}

  static HttpLimits Limits(const StreamOptions& options) {
    HttpLimits limits;
    limits.readers = std::max(2, options.httpReaders);
    // Long links get a "resp" answer rather than a bare refusal of the request.
    limits.maxHead = 1 << 20;
    return limits;
  }

  std::string Base(const HttpRequest& request) const {
    if (PlainHost(request.host)) return "http://" + request.host;
    std::string address = options.bindAddress;
    if (address == "0.0.0.0") address = "127.0.0.1";
    if (address == "::") address = "::1";
    if (address.find(':') != std::string::npos) address = "[" + address + "]";
    return "http://" + address + ":" + std::to_string(server.Port());
  }

  void Answer(const HttpRequest& request, HttpResponder& responder) {
    if (request.method != "GET" && request.method != "HEAD") {
      responder.Send(405, "text/plain", "only GET and HEAD\n");
      return;
    }
    const std::string& target = request.target;
    if (target.starts_with("/xml.php?")) {
      // The link is the raw rest of the query, "?" and "&" included.
      const auto at = target.find("url=");
      const std::string link = at == std::string::npos ? "" : target.substr(at + 4);
      Resolution resolution = ResolveLink(link, Base(request), engine, relays);
      if (options.convertMedia) resolution = media.Decide(std::move(resolution), Base(request));
      responder.Send(200, "text/xml; charset=utf-8", ResolutionAnswer(resolution));
    } else if (target.starts_with("/stream/")) {
      const std::string hash = Segment(target, "/stream/");
      const std::string rest = target.substr(8 + hash.size());  // "/NAME", "?…" or ""
      const std::string name = rest.starts_with("/") ? rest.substr(1) : std::string();
      ServeStream(hash, name, request, responder);
    } else if (target.starts_with("/status/")) {
      // The player page that shows it comes from another origin.
      const auto json = StatusJsonOf(engine, Segment(target, "/status/"));
      const std::string body = json ? *json + "\n" : "{\"error\":\"no such stream\"}\n";
      responder.SendHead(json ? 200 : 404, {{"Content-Type", "application/json"},
                                            {"Content-Length", std::to_string(body.size())},
                                            {"Access-Control-Allow-Origin", "*"},
                                            {"Cache-Control", "no-store"}});
      responder.SendBody(body.data(), body.size());
    } else if (target.starts_with("/stop/")) {
      if (engine.Close(Segment(target, "/stop/")))
        responder.Send(200, "text/plain", "stopped\n");
      else
        responder.Send(404, "text/plain", "no such stream\n");
    } else if (target.starts_with("/relay/")) {
      ServeRelay(Segment(target, "/relay/"), request, responder);
    } else if (media.Answer(request, responder)) {
    } else {
      responder.Send(404, "text/plain", "not found\n");
    }
  }

  void ServeStream(const std::string& hash, const std::string& name, const HttpRequest& request,
                   HttpResponder& responder) {
    const auto playable = engine.Find(hash);
    if (!playable || !NamesFile(name, playable->fileName)) {
      responder.Send(404, "text/plain", "no such stream\n");
      return;
    }
    ByteRange range;
    // As the probe named it: a browser refuses WebM codecs in a file said to be Matroska.
    const std::string type = media.MediaType(hash).value_or(MediaTypeOf(playable->fileName));
    if (!SendRangeHead(responder, request.range, type, playable->size, range) ||
        responder.headOnly())
      return;
    engine.Read(
        hash, range.begin, range.end,
        [&responder](const char* data, std::size_t size) { return responder.SendBody(data, size); },
        [&responder] { return responder.ClientGone(); });
  }

  void ServeRelay(const std::string& idText, const HttpRequest& request, HttpResponder& responder) {
    int id = 0;
    const auto [end, error] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
    const auto address = error == std::errc() && end == idText.data() + idText.size()
                             ? relays.Get(id)
                             : std::nullopt;
    if (!address) {
      responder.Send(404, "text/plain", "no such relay\n");
      return;
    }
    const std::int64_t size = RemoteSize(*address);
    if (size < 0) {
      responder.Send(502, "text/plain", "the ftp server does not answer\n");
      return;
    }
    ByteRange range;
    if (!SendRangeHead(responder, request.range, MediaTypeOf(*address), size, range) ||
        responder.headOnly())
      return;
    FetchRange(*address, range.begin, range.end,
               [&responder](const char* data, std::size_t n) { return responder.SendBody(data, n); });
  }

  StreamOptions options;
  RelayTable relays;
  TorrentEngine engine;
  MediaRoutes media{engine, options.embeddedSubtitleWait};
  HttpServer server;
};

StreamService::StreamService(StreamOptions options) : options_(std::move(options)) {}

StreamService::~StreamService() { Stop(); }

bool StreamService::Start() {
  if (impl_) return true;
  auto impl = std::make_unique<Impl>(options_);
  if (!impl->server.Start(options_.bindAddress, options_.port)) return false;
  impl_ = std::move(impl);
  return true;
}

int StreamService::Port() const { return impl_ ? impl_->server.Port() : 0; }

void StreamService::Stop() {
  if (!impl_) return;
  impl_->media.Stop();
  impl_->engine.EndReaders();  // readers waiting for pieces return at once
  impl_->server.Stop();
  impl_->engine.Shutdown();
  impl_.reset();
}

}  // namespace morvane::stream
