#include "stream/StreamService.h"

#include <atomic>
#include <charconv>
#include <map>
#include <mutex>

#include "stream/AccessKey.h"
#include "stream/CurlTransfer.h"
#include "stream/DlnaHeaders.h"
#include "stream/FileRoutes.h"
#include "stream/HttpRange.h"
#include "stream/LinkResolver.h"
#include "stream/MediaRoutes.h"
#include "stream/StatusJson.h"
#include "stream/TorrentEngine.h"
#include "stream/VideoFiles.h"
#include "web/HttpServer.h"
#include "web/ResolutionContract.h"
#include "web/Text.h"

namespace morvane::stream {

namespace {

// The server's pools of workers (web/HttpServer.h).
enum Pool : std::size_t {
  kQuick,  // status, stop, refusals: answered at once
  kBytes,  // the video's bytes (streams, ftp relays, conversions, file lists), each as long as
           // its player reads
  kSlow,   // resolutions (metadata waits, .torrent fetches) and subtitles
  // The same three again for the requests that carry the key on loopback: the window, its
  // player page and the players it hands an address to. Every other program of the machine,
  // and every web page, shares one address there, so no per-client cap keeps them from the
  // others' workers; these they cannot take.
  kOwnQuick,
  kOwnBytes,
  kOwnSlow,
};
constexpr std::size_t kOwn = kOwnQuick - kQuick;
constexpr int kQuickWorkers = 4;
constexpr std::size_t kQuickQueue = 256;
constexpr std::size_t kBytesQueue = 64;
// Eight torrents nobody seeds hold their workers for the metadata time-out; the others wait.
constexpr int kSlowWorkers = 8;
constexpr std::size_t kSlowQueue = 32;
// One window plays one film at a time, with its subtitles and a film it resolves meanwhile.
constexpr int kOwnQuickWorkers = 2;
constexpr int kOwnBytesWorkers = 8;
constexpr int kOwnSlowWorkers = 4;
// A client's share of the bytes and slow workers: a browser opens at most six connections to
// a host, and a player page asks for a few subtitles beside a resolution, so one player
// never meets the cap, while no one client holds every worker: three in four of them.
std::size_t ShareOf(int workers) { return static_cast<std::size_t>(workers - workers / 4); }

HttpLimits Limits(const StreamOptions& options) {
  HttpLimits limits;
  const int bytesWorkers = std::max(2, options.httpReaders);
  limits.pools = {
      {kQuickWorkers, kQuickQueue, 0},
      {bytesWorkers, kBytesQueue, ShareOf(bytesWorkers)},
      {kSlowWorkers, kSlowQueue, ShareOf(kSlowWorkers)},
      {kOwnQuickWorkers, kQuickQueue, 0},
      {kOwnBytesWorkers, kBytesQueue, 0},
      {kOwnSlowWorkers, kSlowQueue, 0},
  };
  // Long links get a "resp" answer rather than a bare refusal of the request.
  limits.maxHead = 1 << 20;
  return limits;
}

// "/stream/HASH/NAME" -> "HASH" for prefix "/stream/".
std::string Segment(const std::string& path, std::string_view prefix) {
  std::string rest = path.substr(prefix.size());
  rest = rest.substr(0, rest.find_first_of("/?#"));
  return rest;
}

// "http://127.0.0.1:8000" of "http://127.0.0.1:8000/page.html?a", lower-cased.
std::string OriginOf(std::string_view address) {
  const std::size_t scheme = address.find("://");
  const std::size_t end = scheme == std::string_view::npos
                              ? address.size()
                              : std::min(address.find_first_of("/?#", scheme + 3), address.size());
  return AsciiLower(address.substr(0, end));
}

// A browser names the page that made it send a request, whatever the request (an image, a
// form, a script's fetch, a video): in Sec-Fetch-Site, and in Origin or Referer unless the
// page hid them. Programs send none of these, or a Referer of the very address they ask
// for (the program's own page requests do); a page of this service's own origin is its own.
bool FromPageOfAnotherOrigin(const HttpRequest& request) {
  if (request.fetchSite == "cross-site" || request.fetchSite == "same-site") return true;
  // The name the client reached the service by, checked to be a loopback one.
  const std::string own = "http://" + AsciiLower(request.host);
  return (!request.origin.empty() && OriginOf(request.origin) != own) ||
         (!request.referer.empty() && OriginOf(request.referer) != own);
}

// An Origin header of a page served from loopback ("http://127.0.0.1:47084").
bool IsLoopbackOrigin(std::string_view origin) {
  for (const std::string_view scheme : {"http://", "https://"})
    if (origin.starts_with(scheme)) return IsLoopbackHostHeader(origin.substr(scheme.size()));
  return false;
}

// Headers of an answer over bytes [range.begin, range.end) of a body of `size` bytes.
HttpHeaders RangeHeaders(const std::string& type, const ByteRange& range, std::int64_t size,
                         bool partial) {
  HttpHeaders headers{{"Content-Type", type},
                      {"Content-Length", std::to_string(range.end - range.begin)},
                      {"Accept-Ranges", "bytes"}};
  for (auto& header : DlnaHeaders(DlnaSource::kFile)) headers.push_back(std::move(header));
  if (partial)
    headers.emplace_back("Content-Range", "bytes " + std::to_string(range.begin) + "-" +
                                              std::to_string(range.end - 1) + "/" +
                                              std::to_string(size));
  return headers;
}

// Answers a Range request's head; false when it was answered in full (416).
bool SendRangeHead(HttpResponder& responder, const std::string& rangeHeader,
                   const std::string& type, std::int64_t size, ByteRange& range,
                   HttpHeaders more = {}) {
  const RangeResult result = ParseRange(rangeHeader, size, range);
  if (result == RangeResult::kUnsatisfiable) {
    responder.SendHead(416, {{"Content-Range", "bytes */" + std::to_string(size)},
                             {"Content-Length", "0"}});
    return false;
  }
  const bool partial = result == RangeResult::kPartial;
  HttpHeaders headers = RangeHeaders(type, range, size, partial);
  headers.insert(headers.end(), more.begin(), more.end());
  return responder.SendHead(partial ? 206 : 200, headers);
}

}  // namespace

struct StreamService::Impl {
  // A request once its key is taken off.
  struct Call {
    const HttpRequest& request;
    std::string path;  // the target without the key's segment
    bool keyed = false;
    // Reached on an address beyond loopback (the service's own, or a listener opened for
    // renderers): the key is needed and nothing inside is opened for the caller.
    bool strangers = false;
    std::string base;  // what the addresses answered to it begin with: "http://HOST:PORT[/KEY]"
  };
  using Serve = void (Impl::*)(const Call&, HttpResponder&);
  struct Route {
    std::string_view prefix;
    std::string_view method;  // "GET" takes HEAD as well
    Pool pool;
    Serve serve;
  };
  // The first route whose prefix the path starts with and whose method the request has
  // answers it.
  static const Route kRoutes[];

  explicit Impl(const StreamOptions& options)
      : options(options),
        engine(options),
        server([this](const HttpRequest& request, HttpResponder& responder) { Answer(request, responder); },
               Limits(options), [this](const HttpRequest& request) { return Choose(request); },
               options.requestLog) {}

  Call Admit(const HttpRequest& request) const {
    Call call{request, {}, false, strangers, {}};
    call.keyed = CarriesKey(request.target, request.authorization, options.accessKey, call.path);
    if (!request.local.empty() && !IsLoopbackHostHeader(request.local)) call.strangers = true;
    // Built from the address the client reached, never from its Host header.
    const std::string reached = request.local.empty()
                                    ? options.bindAddress + ":" + std::to_string(server.Port())
                                    : request.local;
    call.base = "http://" + reached + (call.keyed ? "/" + options.accessKey : "");
    return call;
  }

  static bool Fits(const Route& route, const std::string& method) {
    return method == route.method || (route.method == "GET" && method == "HEAD");
  }

  static const Route* Find(const std::string& path, const std::string& method);
  // The methods the routes of a path take ("GET, HEAD, POST"); "" when no route has it.
  static std::string Allowed(const std::string& path);

  // Refused at once: beyond loopback whoever has no key, on loopback a web page without it.
  bool Unwelcome(const Call& call) const {
    return !call.keyed && (call.strangers || FromPageOfAnotherOrigin(call.request));
  }

  std::size_t Choose(const HttpRequest& request) const {
    const Call call = Admit(request);
    if (Unwelcome(call)) return kQuick;
    const Route* route = Find(call.path, request.method);
    const Pool pool = route ? route->pool : kQuick;
    return call.keyed && !call.strangers ? pool + kOwn : pool;
  }

  void Answer(const HttpRequest& request, HttpResponder& responder) {
    const Call call = Admit(request);
    if (call.strangers && !call.keyed) {
      responder.Send(401, "text/plain", "resp: this service needs its key\n", {{"WWW-Authenticate", "Bearer"}});
      return;
    }
    // Any page on the web can make a browser ask loopback for an image, post a form there or
    // play a video from it; without the key it gets nothing done: no torrent added, no peer
    // called, no stream stopped.
    if (Unwelcome(call)) {
      responder.Send(403, "text/plain", "resp: a page of another site reaches this service only with its key\n");
      return;
    }
    // What the service answers is readable by a page of another origin only for those who
    // hold the key; on loopback a page on the web gets nothing out of it.
    if (call.keyed) responder.AddToEveryHead(CrossOriginHeaders());
    const Route* route = Find(call.path, request.method);
    const std::string allowed = route ? std::string() : Allowed(call.path);
    if (!route && allowed.empty()) {
      responder.Send(404, "text/plain", "not found\n");
    } else if (!route) {
      responder.Send(405, "text/plain", "only " + allowed + "\n", {{"Allow", allowed}});
    } else {
      (this->*route->serve)(call, responder);
    }
  }

  void ServeResolution(const Call& call, HttpResponder& responder) {
    // The link is the raw rest of the query, "?" and "&" included.
    const std::string link = ResolutionLinkOf(call.path).value_or("");
    const Caller caller{call.base, call.strangers,
                        [this, &responder] { return stopping.load() || responder.ClientGone(); }};
    Resolution resolution = ResolveLink(link, caller, engine, relays);
    if (options.convertMedia) resolution = media.Decide(std::move(resolution), call.base);
    responder.Send(200, "text/xml; charset=utf-8", ResolutionAnswer(resolution));
  }

  void ServeStream(const Call& call, HttpResponder& responder) {
    const std::string hash = Segment(call.path, "/stream/");
    const std::string rest = call.path.substr(8 + hash.size());  // "/NAME", "?…" or ""
    const std::string name = rest.starts_with("/") ? rest.substr(1) : std::string();
    // Exactly the video the name stands for.
    const auto playable = PlayableNamed(engine, hash, name);
    if (!playable) {
      responder.Send(404, "text/plain", "no such stream\n");
      return;
    }
    ByteRange range;
    // As the probe named it: a browser refuses WebM codecs in a file said to be Matroska.
    const std::string type =
        media.MediaType(hash, playable->file).value_or(MediaTypeOf(playable->fileName));
    const auto query = rest.find('?');
    if (!SendRangeHead(responder, call.request.range, type, playable->size, range,
                       CaptionHeaders(query == std::string::npos ? "" : rest.substr(query + 1),
                                      call.base, hash)) ||
        responder.headOnly())
      return;
    engine.Read(
        hash, range.begin, range.end,
        [&responder](const char* data, std::size_t size) { return responder.SendBody(data, size); },
        [&responder] { return responder.ClientGone(); }, playable->file);
  }

  void ServeStatus(const Call& call, HttpResponder& responder) {
    const auto json = StatusJsonOf(engine, Segment(call.path, "/status/"));
    responder.Send(json ? 200 : 404, "application/json",
                   json ? *json + "\n" : "{\"error\":\"no such stream\"}\n", NoStoreHeaders());
  }

  // A page on the web can make a browser post a form to loopback; the browser says whose
  // page it is. Refused (answered 403) when it is another site's.
  bool RefuseOtherSite(const Call& call, HttpResponder& responder) const {
    if (call.strangers || call.request.origin.empty() || IsLoopbackOrigin(call.request.origin))
      return false;
    responder.Send(403, "text/plain", "not from a page of another site\n");
    return true;
  }

  void ServeStop(const Call& call, HttpResponder& responder) {
    if (RefuseOtherSite(call, responder)) return;
    if (engine.Close(Segment(call.path, "/stop/")))
      responder.Send(200, "text/plain", "stopped\n");
    else
      responder.Send(404, "text/plain", "no such stream\n");
  }

  void ServeRelay(const Call& call, HttpResponder& responder) {
    const std::string idText = Segment(call.path, "/relay/");
    int id = 0;
    const auto [end, error] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
    const auto address = error == std::errc() && end == idText.data() + idText.size()
                             ? relays.Get(id)
                             : std::nullopt;
    if (!address) {
      responder.Send(404, "text/plain", "no such relay\n");
      return;
    }
    const Caller caller{call.base, call.strangers,
                        [this, &responder] { return stopping.load() || responder.ClientGone(); }};
    const TransferRules rules = caller.Rules();
    const std::int64_t size = RemoteSize(*address, rules);
    if (size < 0) {
      responder.Send(502, "text/plain", "the ftp server does not answer\n");
      return;
    }
    ByteRange range;
    if (!SendRangeHead(responder, call.request.range, MediaTypeOf(*address), size, range) ||
        responder.headOnly())
      return;
    FetchRange(*address, range.begin, range.end,
               [&responder](const char* data, std::size_t n) { return responder.SendBody(data, n); },
               rules);
  }

  void ServeFiles(const Call& call, HttpResponder& responder) {
    files.ServeFiles(call.path, call.keyed ? "/" + options.accessKey : std::string(), responder);
  }

  void ServePosition(const Call& call, HttpResponder& responder) {
    if (call.request.method == "POST" && RefuseOtherSite(call, responder)) return;
    files.ServePosition(call.request.method, call.path, responder);
  }

  void ServeMedia(const Call& call, HttpResponder& responder) {
    HttpRequest routed = call.request;
    routed.target = call.path;
    media.Answer(routed, responder, call.keyed ? "/" + options.accessKey : std::string());
  }

  StreamOptions options;
  std::atomic<bool> stopping{false};
  // Bound beyond loopback: every request needs the key, nothing local is opened for a caller.
  bool strangers = false;
  RelayTable relays;
  TorrentEngine engine;
  MediaRoutes media{engine, options.embeddedSubtitleWait};
  FileRoutes files{engine, std::filesystem::path(options.cacheDir.empty() ? DefaultCacheDir()
                                                                          : options.cacheDir) /
                               "watch-positions"};
  HttpServer server;
  std::mutex listenersMutex;
  std::map<std::string, std::unique_ptr<HttpServer>> keyedListeners;  // by address
};

const StreamService::Impl::Route StreamService::Impl::kRoutes[] = {
    {"/xml.php?", "GET", kSlow, &Impl::ServeResolution},
    {"/stream/", "GET", kBytes, &Impl::ServeStream},
    {"/status/", "GET", kQuick, &Impl::ServeStatus},
    {"/stop/", "POST", kQuick, &Impl::ServeStop},
    {"/relay/", "GET", kBytes, &Impl::ServeRelay},
    {"/convert/", "GET", kBytes, &Impl::ServeMedia},
    {"/subs/", "GET", kSlow, &Impl::ServeMedia},
    {"/files/", "GET", kBytes, &Impl::ServeFiles},
    {"/position/", "GET", kQuick, &Impl::ServePosition},
    {"/position/", "POST", kQuick, &Impl::ServePosition},
};

const StreamService::Impl::Route* StreamService::Impl::Find(const std::string& path,
                                                            const std::string& method) {
  for (const Route& route : kRoutes)
    if (path.starts_with(route.prefix) && Fits(route, method)) return &route;
  return nullptr;
}

std::string StreamService::Impl::Allowed(const std::string& path) {
  std::string allowed;
  for (const Route& route : kRoutes)
    if (path.starts_with(route.prefix))
      allowed += (allowed.empty() ? "" : ", ") +
                 std::string(route.method == "GET" ? "GET, HEAD" : route.method);
  return allowed;
}

StreamService::StreamService(StreamOptions options) : options_(std::move(options)) {}

StreamService::~StreamService() { Stop(); }

bool StreamService::Start() {
  if (impl_) return true;
  if (!options_.accessKey.empty() && !IsUsableKey(options_.accessKey)) return false;
  auto impl = std::make_unique<Impl>(options_);
  if (!impl->server.Bind(options_.bindAddress, options_.port)) return false;
  impl->strangers = !impl->server.BoundToLoopback();
  if (impl->strangers && options_.accessKey.empty()) return false;
  if (!impl->server.Start()) return false;
  impl_ = std::move(impl);
  return true;
}

int StreamService::Port() const { return impl_ ? impl_->server.Port() : 0; }

std::string StreamService::OpenKeyedListener(const std::string& address) {
  if (!impl_ || options_.accessKey.empty()) return "";
  Impl& impl = *impl_;
  std::lock_guard lock(impl.listenersMutex);
  auto& listener = impl.keyedListeners[address];
  if (!listener) {
    auto server = std::make_unique<HttpServer>(
        [&impl](const HttpRequest& request, HttpResponder& responder) { impl.Answer(request, responder); },
        Limits(options_), [&impl](const HttpRequest& request) { return impl.Choose(request); },
        options_.requestLog);
    if ((server->Bind(address, impl.server.Port()) || server->Bind(address, 0)) && server->Start())
      listener = std::move(server);
  }
  if (!listener) {
    impl.keyedListeners.erase(address);
    return "";
  }
  const bool v6 = address.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(listener->Port()) +
         "/" + options_.accessKey;
}

void StreamService::CloseKeyedListeners() {
  if (!impl_) return;
  std::map<std::string, std::unique_ptr<HttpServer>> listeners;
  {
    std::lock_guard lock(impl_->listenersMutex);
    listeners.swap(impl_->keyedListeners);
  }
  for (auto& [address, listener] : listeners) listener->Stop();
}

void StreamService::Stop() {
  if (!impl_) return;
  impl_->stopping = true;  // fetches made for callers end
  CloseKeyedListeners();
  impl_->media.Stop();
  impl_->engine.EndReaders();  // readers waiting for pieces and metadata return at once
  impl_->server.Stop();
  impl_->engine.Shutdown();
  impl_.reset();
}

}  // namespace morvane::stream
