#include "services/StandInIndexer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "services/AccessLog.h"
#include "web/Text.h"

namespace morvane::services {

namespace {

constexpr char kJackettPath[] = "/api/v2.0/indexers/morvane/results/torznab/";
constexpr char kProwlarrPath[] = "/1/api";
// What either program gives when a search names no limit, and the most it gives.
constexpr int kMostItems = 100;
constexpr int kItemKinds = 5;
constexpr std::size_t kWorkers = 8;
constexpr int kListenQueue = 64;

std::string Escaped(std::string_view text) { return PercentEncode(text, true, false); }

// "702.4 MB" as bytes: the catalogue's size texts are what the sites show.
std::int64_t SizeBytes(const std::string& text) {
  static constexpr std::pair<std::string_view, int> kUnits[] = {
      {"KB", 1}, {"MB", 2}, {"GB", 3}, {"TB", 4}};
  double value = 0;
  try {
    value = std::stod(text);
  } catch (...) {
    return 0;
  }
  int power = 0;
  for (const auto& [unit, p] : kUnits)
    if (text.find(unit) != std::string::npos) power = p;
  return static_cast<std::int64_t>(std::llround(value * std::pow(1024.0, power)));
}

int NumberParameter(const httplib::Request& req, const char* name, int otherwise) {
  if (!req.has_param(name)) return otherwise;
  try {
    return std::stoi(req.get_param_value(name));
  } catch (...) {
    return otherwise;
  }
}

// The request target with the value of every key parameter ("apikey", "jackett_apikey")
// written as "***": the log must not hand the key to whoever reads the terminal.
std::string TargetWithoutKeys(const std::string& target) {
  const auto query = target.find('?');
  if (query == std::string::npos) return target;
  std::string out = target.substr(0, query + 1);
  bool first = true;
  for (const std::string& piece : SplitText(std::string_view(target).substr(query + 1), "&")) {
    if (!first) out += '&';
    first = false;
    const auto equals = piece.find('=');
    std::string name = piece.substr(0, equals);
    for (char& c : name)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    out += equals != std::string::npos && name.ends_with("apikey") ? piece.substr(0, equals) + "=***"
                                                                   : piece;
  }
  return out;
}

std::string ErrorDocument(int code, const std::string& description) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<error code=\"" + std::to_string(code) +
         "\" description=\"" + MarkupEscape(description) + "\" />\n";
}

std::string CapsDocument() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<caps>\n"
         "<server title=\"Morvane stand-in indexer\" />\n"
         "<limits default=\"100\" max=\"100\" />\n"
         "<searching><search available=\"yes\" supportedParams=\"q\" /></searching>\n"
         "<categories><category id=\"2000\" name=\"Movies\" /></categories>\n"
         "</caps>\n";
}

}  // namespace

struct StandInIndexer::State {
  const Catalogue& catalogue;
  std::string key;
  std::string announce;
  std::ostream* log;
  std::mutex ownLogMutex;
  std::mutex* logMutex;
  httplib::Server server;
  std::thread thread;
  int port = 0;

  State(const Catalogue& c, std::string k, std::ostream* l, std::mutex* m)
      : catalogue(c), key(std::move(k)), log(l), logMutex(m ? m : &ownLogMutex) {}

  std::string base() const { return "http://127.0.0.1:" + std::to_string(port); }

  bool KeyGiven(const httplib::Request& req) const {
    const std::string given = req.has_param("apikey") ? req.get_param_value("apikey")
                                                        : req.get_header_value("X-Api-Key");
    return !key.empty() && given == key;
  }

  std::string Magnet(const CatalogueEntry& e) const {
    std::string magnet = "magnet:?xt=urn:btih:" + e.hash + "&dn=" + Escaped(e.name);
    if (!announce.empty()) magnet += "&tr=" + Escaped(announce);
    return magnet;
  }
  std::string TorrentLink(const CatalogueEntry& e) const {
    return base() + "/dl/" + e.hash + ".torrent?apikey=" + key;
  }
  std::string MagnetLink(const CatalogueEntry& e) const {
    return base() + "/dl/" + e.hash + "/magnet?apikey=" + key;
  }
  std::string ProwlarrDownload(const CatalogueEntry& e) const {
    return base() + "/1/download?apikey=" + key + "&link=" + e.hash;
  }

  std::string Item(const CatalogueEntry& e, int number, int seeders) const {
    const int kind = number % kItemKinds;
    const std::string link = kind == 1   ? ProwlarrDownload(e)
                             : kind == 3 ? MagnetLink(e)
                                         : TorrentLink(e);
    const std::string size = std::to_string(SizeBytes(e.size));
    std::string item = "<item>\n<title>" + MarkupEscape(e.name) + "</title>\n<guid>" + base() +
                       "/details/" + e.hash + "</guid>\n<link>" + MarkupEscape(link) +
                       "</link>\n<pubDate>Sun, 26 Sep 2010 00:00:00 +0000</pubDate>\n<size>" +
                       size + "</size>\n<category>2000</category>\n<enclosure url=\"" +
                       MarkupEscape(link) + "\" length=\"" + size +
                       "\" type=\"application/x-bittorrent\" />\n"
                       "<torznab:attr name=\"category\" value=\"2000\" />\n"
                       "<torznab:attr name=\"seeders\" value=\"" +
                       std::to_string(seeders) + "\" />\n<torznab:attr name=\"peers\" value=\"" +
                       std::to_string(seeders + 3) + "\" />\n";
    if (kind == 0)
      item += "<torznab:attr name=\"magneturl\" value=\"" + MarkupEscape(Magnet(e)) + "\" />\n";
    if (kind == 1)
      item += "<torznab:attr name=\"magneturl\" value=\"" + MarkupEscape(ProwlarrDownload(e)) +
              "\" />\n";
    if (kind == 0 || kind == 2)
      item += "<torznab:attr name=\"infohash\" value=\"" + e.hash + "\" />\n";
    return item + "</item>\n";
  }

  std::string Feed(const httplib::Request& req) const {
    const auto found = catalogue.Search(req.get_param_value("q"));
    const int limit = std::clamp(NumberParameter(req, "limit", kMostItems), 0, kMostItems);
    const auto offset = static_cast<std::size_t>(std::max(0, NumberParameter(req, "offset", 0)));
    std::string feed =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<rss version=\"2.0\" xmlns:atom=\"http://www.w3.org/2005/Atom\" "
        "xmlns:torznab=\"http://torznab.com/schemas/2015/feed\">\n<channel>\n"
        "<title>Morvane stand-in indexer</title>\n<link>" +
        base() + "/</link>\n<language>en-US</language>\n";
    for (std::size_t i = offset; i < found.size() && i < offset + static_cast<std::size_t>(limit);
         ++i) {
      // Fewer seeders further down the catalogue, so most-seeded first keeps its order.
      const int seeders = std::max(1, 1000 - static_cast<int>(i) * 7);
      feed += Item(*found[i], static_cast<int>(i), seeders);
    }
    return feed + "</channel>\n</rss>\n";
  }

  // The Torznab function of a request whose key is right.
  void Answer(const httplib::Request& req, httplib::Response& res) const {
    const std::string function = req.get_param_value("t");
    if (function == "caps") {
      res.set_content(CapsDocument(), "application/xml; charset=utf-8");
    } else if (function == "search" || function == "tvsearch" || function == "movie") {
      res.set_content(Feed(req), "application/rss+xml; charset=utf-8");
    } else if (function.empty()) {
      res.set_content(ErrorDocument(200, "Missing parameter (t)"), "application/xml");
    } else {
      res.set_content(ErrorDocument(202, "No such function"), "application/xml");
    }
  }

  const CatalogueEntry* Download(const httplib::Request& req, httplib::Response& res,
                                 const std::string& hash) const {
    if (!KeyGiven(req)) {
      res.status = 401;
      res.set_content("Unauthorized", "text/plain");
      return nullptr;
    }
    const CatalogueEntry* e = catalogue.FindByHash(hash);
    if (e == nullptr) res.status = 404;
    return e;
  }

  void Route() {
    // Jackett answers a wrong key with 200 and an <error> document.
    server.Get(R"(/api/v2\.0/indexers/([^/]+)/results/torznab(/api)?/?)",
               [this](const httplib::Request& req, httplib::Response& res) {
                 if (!KeyGiven(req)) {
                   res.set_content(ErrorDocument(100, "Invalid API Key"), "application/xml");
                   return;
                 }
                 Answer(req, res);
               });
    // Prowlarr answers it with 401.
    server.Get(R"(/(\d+)/api/?)", [this](const httplib::Request& req, httplib::Response& res) {
      if (!KeyGiven(req)) {
        res.status = 401;
        res.set_content("Unauthorized", "text/plain");
        return;
      }
      Answer(req, res);
    });
    server.Get(R"(/(\d+)/download)", [this](const httplib::Request& req, httplib::Response& res) {
      if (const CatalogueEntry* e = Download(req, res, req.get_param_value("link"))) {
        res.status = 301;
        res.set_header("Location", Magnet(*e));
      }
    });
    server.Get(R"(/dl/([0-9a-fA-F]{40})/magnet)",
               [this](const httplib::Request& req, httplib::Response& res) {
                 if (const CatalogueEntry* e = Download(req, res, req.matches[1].str())) {
                   res.status = 302;
                   res.set_header("Location", Magnet(*e));
                 }
               });
    server.Get(R"(/dl/([0-9a-fA-F]{40})\.torrent)",
               [this](const httplib::Request& req, httplib::Response& res) {
                 if (const CatalogueEntry* e = Download(req, res, req.matches[1].str()))
                   res.set_content(e->torrent, "application/x-bittorrent");
               });
    server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
      if (log == nullptr) return;
      const std::string line =
          AccessLogLine("indexer", req.method, TargetWithoutKeys(req.target), res.status) + "\n";
      std::lock_guard lock(*logMutex);
      *log << line << std::flush;
    });
  }
};

StandInIndexer::StandInIndexer(const Catalogue& catalogue, std::string key,
                               std::string announce, std::ostream* log, std::mutex* logMutex)
    : state_(std::make_unique<State>(catalogue, std::move(key), log, logMutex)) {
  state_->announce = std::move(announce);
}

StandInIndexer::~StandInIndexer() { Stop(); }

bool StandInIndexer::Start(int port) {
  State& st = *state_;
  if (st.thread.joinable()) return false;
  st.Route();
  st.server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  st.server.set_read_timeout(5, 0);
  st.server.set_write_timeout(5, 0);
  socket_t listening = INVALID_SOCKET;
  st.server.set_socket_options([&listening](socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listening = sock;
  });
  st.port = port == 0 ? st.server.bind_to_any_port("127.0.0.1")
                      : (st.server.bind_to_port("127.0.0.1", port) ? port : -1);
  if (st.port <= 0) return false;
  if (listening != INVALID_SOCKET) ::listen(listening, kListenQueue);
  st.thread = std::thread([&st] { st.server.listen_after_bind(); });
  for (int i = 0; i < 5000 && !st.server.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void StandInIndexer::Stop() {
  state_->server.stop();
  if (state_->thread.joinable()) state_->thread.join();
}

int StandInIndexer::Port() const { return state_->port; }

std::string StandInIndexer::JackettAddressAt(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + kJackettPath;
}

std::string StandInIndexer::ProwlarrAddressAt(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + kProwlarrPath;
}

std::string StandInIndexerFile(int port, const std::string& key) {
  return "# The stand-in services' Torznab indexer, as bash scripts/run.sh writes it.\n"
         "# One indexer a line: NAME = ADDRESS [KEY] (see the README).\n"
         "Stand-in (Jackett) = " +
         StandInIndexer::JackettAddressAt(port) + " " + key +
         "\n"
         "Stand-in (Prowlarr) = " +
         StandInIndexer::ProwlarrAddressAt(port) + "?apikey=" + key + "\n";
}

}  // namespace morvane::services
