#include "services/StandInServices.h"

#include <httplib.h>
#include <sys/socket.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <iostream>
#include <sstream>
#include <system_error>
#include <thread>

#include "services/AccessLog.h"
#include "services/Catalogue.h"
#include "services/Pages.h"
#include "services/PlainHttpServer.h"
#include "services/ReleaseSigning.h"
#include "services/Seeder.h"
#include "services/SelfSignedCertificate.h"
#include "services/PlayerEpisodes.h"
#include "services/PlayerMedia.h"
#include "services/PlayerResume.h"
#include "services/StreamStatus.h"
#include "services/Tracker.h"
#include "update/Cipher.h"
#include "update/UpdateSignature.h"
#include "web/ResolutionContract.h"
#include "web/Text.h"

namespace morvane::services {

namespace {

constexpr const char* kServiceNames[kServiceCount] = {"publisher", "first-site", "second-site",
                                                      "resolution", "player", "live-tv"};
constexpr int kPageSize = 20;
// Workers of each cpp-httplib service. A connection holds its worker while it lasts, so there
// are enough that a browser's connections and a handful of slow clients leave room for
// everyone else; the time-outs below free the worker of a client that stops sending.
constexpr std::size_t kWorkersPerService = 32;
constexpr int kListenQueue = 128;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The 1-based page number of a request, 1 when absent or not a number.
int PageNumber(const std::string& text) {
  try {
    const int n = std::stoi(text);
    return n > 0 ? n : 1;
  } catch (...) {
    return 1;
  }
}

std::vector<const CatalogueEntry*> PageOf(const std::vector<const CatalogueEntry*>& all, int page) {
  const std::size_t from = static_cast<std::size_t>(page - 1) * kPageSize;
  if (from >= all.size()) return {};
  const std::size_t to = std::min(all.size(), from + kPageSize);
  return {all.begin() + static_cast<long>(from), all.begin() + static_cast<long>(to)};
}

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

struct StandInServices::State {
  ServicesOptions options;
  Catalogue catalogue;
  std::string keywords;  // UTF-8 lines
  Certificate certificate;
  // The resolution service runs on its own small server (see PlainHttpServer.h); its slot
  // here stays empty.
  std::array<std::unique_ptr<httplib::Server>, kServiceCount> servers;
  std::unique_ptr<PlainHttpServer> resolution;
  std::array<int, kServiceCount> ports{};
  std::vector<std::thread> threads;
  std::mutex logMutex;
  Tracker tracker;
  Seeder seeder;

  httplib::Server& server(Service s) { return *servers[static_cast<int>(s)]; }
  std::string host(Service s) const {
    return "127.0.0.1:" + std::to_string(ports[static_cast<int>(s)]);
  }
  std::string playerPrefix() const { return "https://" + host(Service::Player) + "/player.html?url="; }
  std::string playerMedia(const std::string& file) const {
    return "https://" + host(Service::Player) + "/media/" + file;
  }
  bool mediaExists(const std::string& file) const {
    if (file.empty() || file.find('/') != std::string::npos || file == "." || file == "..")
      return false;
    return std::filesystem::is_regular_file(options.mediaDir + "/" + file) ||
           (!options.extraMediaDir.empty() &&
            std::filesystem::is_regular_file(options.extraMediaDir + "/" + file));
  }

  void Log(Service s, const std::string& method, const std::string& target, int status) {
    if (!options.log) return;
    const std::string line = AccessLogLine(kServiceNames[static_cast<int>(s)], method, target, status);
    std::lock_guard lock(logMutex);
    *options.log << line << std::endl;
  }

  void SetUpPublisher();
  void SetUpFirstSite();
  void SetUpSecondSite();
  void SetUpResolution();
  void SetUpPlayer();
  void SetUpLiveTv();
  // The address the resolution service answers for a link, or "" when it knows none.
  std::string Resolve(const std::string& link) const;
};

void StandInServices::State::SetUpPublisher() {
  auto& s = server(Service::Publisher);
  s.Get("/", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(ForumPage(), "text/html; charset=utf-8");
  });
  s.Get("/adminapi/2.html", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(PlaceholderPage(), "text/html; charset=utf-8");
  });
  s.Get("/adminapi/vexapi/gg/ada.html", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(NoticePage(), "text/html; charset=utf-8");
  });
  s.Get("/adminapi/info.html", [this](const httplib::Request&, httplib::Response& res) {
    const std::string page = "lj" + EncipherText(playerPrefix(), "") + "lj\r\n<p>1：" +
                             options.latestVersion + "</p>\r\n";
    res.set_content(Utf8ToLocal(page), "text/html; charset=gbk");
  });
  s.Get("/adminapi/version.html", [this](const httplib::Request&, httplib::Response& res) {
    const std::string page = "<p>2：http://" + host(Service::Publisher) + "/download/" +
                             options.updateName + "</p>\r\n<p>3：" + options.updateName +
                             "</p>\r\n" + SignatureLine(options.signingKey, options.updateProgram);
    res.set_content(Utf8ToLocal(page), "text/html; charset=gbk");
  });
  const auto linkList = [this](const httplib::Request&, httplib::Response& res) {
    std::string list;
    const auto& entries = catalogue.entries();
    for (std::size_t i = 0; i < entries.size(); i += 9)
      list += "magnet:?xt=urn:btih:" + entries[i].hash + "\r\n";
    list += "http://" + host(Service::Publisher) + "/media/harbor.webm\r\n";
    res.set_content(list, "text/plain; charset=gbk");
  };
  // The program asks for the list with two slashes before the path.
  s.Get("//adminapi/sjlj.txt", linkList);
  s.Get("/adminapi/sjlj.txt", linkList);
  s.Get("/adminapi/keywords.txt", [this](const httplib::Request&, httplib::Response& res) {
    std::string list;
    std::istringstream lines(keywords);
    for (std::string line; std::getline(lines, line);)
      if (!line.empty()) list += line + "\r\n";
    res.set_content(Utf8ToLocal(list), "text/plain; charset=gbk");
  });
  s.Get("/download/(.+)", [this](const httplib::Request& req, httplib::Response& res) {
    if (options.updateProgram.empty() || req.matches[1] != options.updateName) {
      res.status = 404;
      return;
    }
    res.set_content(ReadFile(options.updateProgram), "application/octet-stream");
  });
  s.Get("/torrents/([0-9a-fA-F]{40})\\.torrent",
        [this](const httplib::Request& req, httplib::Response& res) {
          const CatalogueEntry* e = catalogue.FindByHash(req.matches[1].str());
          if (!e) {
            res.status = 404;
            return;
          }
          res.set_content(e->torrent, "application/x-bittorrent");
        });
  s.set_mount_point("/media", options.mediaDir);
  if (!options.extraMediaDir.empty()) s.set_mount_point("/media", options.extraMediaDir);
  RouteAnnounce(s, tracker);
}

void StandInServices::State::SetUpFirstSite() {
  auto& s = server(Service::FirstSite);
  s.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string keyword = req.get_param_value("s");
    const auto page = PageOf(catalogue.Search(keyword), PageNumber(req.get_param_value("p")));
    res.set_content(FirstSiteResultPage(keyword, page), "text/html; charset=utf-8");
  });
  s.Get("/hash/([0-9a-fA-F]{40})", [this](const httplib::Request& req, httplib::Response& res) {
    const CatalogueEntry* e = catalogue.FindByHash(req.matches[1].str());
    if (!e) {
      res.status = 404;
      return;
    }
    res.set_content(DetailPage(*e, "http://" + host(Service::Publisher)),
                    "text/html; charset=utf-8");
  });
}

void StandInServices::State::SetUpSecondSite() {
  auto& s = server(Service::SecondSite);
  s.Get("/search/(.*)/currentPage/([0-9]+)",
        [this](const httplib::Request& req, httplib::Response& res) {
          const std::string keyword = req.matches[1].str();
          const auto page = PageOf(catalogue.Search(keyword), PageNumber(req.matches[2].str()));
          const std::string html =
              SecondSiteResultPage(keyword, page, "http://" + host(Service::SecondSite));
          res.set_content(Utf8ToLocal(html), "text/html; charset=gbk");
        });
  s.Get("/magnet/detail/hash/([0-9a-fA-F]{40})",
        [this](const httplib::Request& req, httplib::Response& res) {
          const CatalogueEntry* e = catalogue.FindByHash(req.matches[1].str());
          if (!e) {
            res.status = 404;
            return;
          }
          res.set_content(Utf8ToLocal(DetailPage(*e, "http://" + host(Service::Publisher))),
                          "text/html; charset=gbk");
        });
}

std::string StandInServices::State::Resolve(const std::string& link) const {
  static const std::string kMagnet = "magnet:?xt=urn:btih:";
  const std::string lower = LowerAscii(link);
  if (lower.rfind(kMagnet, 0) == 0) {
    const CatalogueEntry* e = catalogue.FindByHash(lower.substr(kMagnet.size(), 40));
    if (e && !e->packFiles.empty())  // a season pack: its largest video
      return e->packVideo.empty() ? "" : playerMedia(e->media + "/" + e->packVideo);
    return e ? playerMedia(e->media) : "";
  }
  if (lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0) {
    const auto media = link.find("/media/");
    if (media != std::string::npos) {
      const std::string file = link.substr(media + 7);
      if (mediaExists(file)) return playerMedia(file);
    }
  }
  return "";
}

void StandInServices::State::SetUpResolution() {
  resolution = std::make_unique<PlainHttpServer>(
      [this](const std::string&, const std::string& target) -> PlainResponse {
        // The link is the raw rest of the query, whatever characters it holds.
        const auto link = ResolutionLinkOf(target);
        if (!link) return {404, "text/plain", "not found\n"};
        const std::string address = Resolve(*link);
        return {200, "text/xml; charset=utf-8",
                ResolutionAnswer(address.empty() ? "resp: no video for this link" : address, "webm")};
      },
      [this](const std::string& method, const std::string& target, int status) {
        Log(Service::Resolution, method, target, status);
      });
}

void StandInServices::State::SetUpPlayer() {
  auto& s = server(Service::Player);
  s.Get("/player.html", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(PlayerPage(), "text/html; charset=utf-8");
  });
  RouteStreamStatus(s);
  RoutePlayerMedia(s);
  RoutePlayerEpisodes(s);
  RoutePlayerResume(s);
  s.Get("/api/play.jsp", [this](const httplib::Request& req, httplib::Response& res) {
    res.set_content(LibraryPlayerPage(req.get_param_value("url"), "/media/lantern.webm"),
                    "text/html; charset=utf-8");
  });
  s.set_mount_point("/media", options.mediaDir);
  if (!options.extraMediaDir.empty()) s.set_mount_point("/media", options.extraMediaDir);
}

void StandInServices::State::SetUpLiveTv() {
  auto& s = server(Service::LiveTv);
  s.Get("/images/img/100/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(LiveTvPage("/media/sintel.webm"), "text/html; charset=utf-8");
  });
  s.set_mount_point("/media", options.mediaDir);
}

StandInServices::StandInServices(ServicesOptions options) : state_(std::make_unique<State>()) {
  State& st = *state_;
  st.options = std::move(options);
  // Torrents written before Start() announce where the publisher's fixed port will be.
  st.catalogue = Catalogue::Load(
      st.options.catalogueDir, st.options.mediaDir, st.options.extraMediaDir,
      AnnounceAddress("127.0.0.1:" + std::to_string(st.options.portBase)));
  st.keywords = ReadFile(st.options.catalogueDir + "/keywords.txt");
}

StandInServices::~StandInServices() { Stop(); }

bool StandInServices::Start() {
  State& st = *state_;
  if (st.catalogue.entries().empty() || !st.threads.empty()) return false;
  st.certificate = MakeSelfSignedCertificate();
  if (!st.certificate.cert) return false;
  if (st.options.standInResolution) st.SetUpResolution();
  for (int i = 0; i < kServiceCount; ++i) {
    if (static_cast<Service>(i) == Service::Resolution && !st.options.standInResolution) {
      st.ports[i] = st.options.portBase == 0 ? 0 : st.options.portBase + i;
      continue;
    }
    if (static_cast<Service>(i) == Service::Resolution) {
      const int wanted = st.options.portBase == 0 ? 0 : st.options.portBase + i;
      st.ports[i] = st.resolution->Bind(wanted);
      if (st.ports[i] <= 0) return false;
      continue;
    }
    if (static_cast<Service>(i) == Service::Player)
      st.servers[i] = std::make_unique<httplib::SSLServer>(st.certificate.cert.get(),
                                                           st.certificate.key.get());
    else
      st.servers[i] = std::make_unique<httplib::Server>();
    auto& server = *st.servers[i];
    if (!server.is_valid()) return false;
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkersPerService); };
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_keep_alive_timeout(2);
    server.set_keep_alive_max_count(100);
    // Without SO_REUSEPORT (cpp-httplib's default), so a second copy cannot share the ports.
    socket_t listening = INVALID_SOCKET;
    server.set_socket_options([&listening](socket_t sock) {
      const int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      listening = sock;
    });
    const int port = st.options.portBase == 0
                         ? server.bind_to_any_port("127.0.0.1")
                         : (server.bind_to_port("127.0.0.1", st.options.portBase + i)
                                ? st.options.portBase + i
                                : -1);
    if (port <= 0) return false;
    // cpp-httplib listens with a queue of 5: a burst of connections (a page's requests, a
    // few slow clients) overflowed it and waited a second or more for the SYN to be sent
    // again. Listening again on the socket only lengthens the queue.
    if (listening != INVALID_SOCKET) ::listen(listening, kListenQueue);
    st.ports[i] = port;
    server.set_logger([&st, i](const httplib::Request& req, const httplib::Response& res) {
      st.Log(static_cast<Service>(i), req.method, req.target, res.status);
    });
  }
  st.catalogue.SetAnnounce(AnnounceAddress(st.host(Service::Publisher)));
  if (!st.seeder.Start(st.catalogue.entries(), st.options.seedUploadLimit)) return false;
  st.tracker.AddPermanentPeer("127.0.0.1", st.seeder.Port());
  st.SetUpPublisher();
  st.SetUpFirstSite();
  st.SetUpSecondSite();
  st.SetUpPlayer();
  st.SetUpLiveTv();
  // A thread that cannot be started (the system is out of them) fails the start; a service
  // whose workers cannot be started says so and leaves the others serving.
  try {
    if (st.resolution) st.threads.emplace_back([r = st.resolution.get()] { r->Serve(); });
    for (int i = 0; i < kServiceCount; ++i) {
      if (!st.servers[i]) continue;
      st.threads.emplace_back([s = st.servers[i].get(), i] {
        try {
          s->listen_after_bind();
        } catch (const std::system_error& e) {
          std::cerr << "morvane-services: the " << kServiceNames[i]
                    << " cannot serve: " << e.what() << std::endl;
        }
      });
    }
  } catch (const std::system_error&) {
    Stop();
    return false;
  }
  for (auto& server : st.servers)
    for (int i = 0; server && i < 5000 && !server->is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void StandInServices::Stop() {
  if (state_->resolution) state_->resolution->Stop();
  for (auto& server : state_->servers)
    if (server) server->stop();
  for (auto& t : state_->threads)
    if (t.joinable()) t.join();
  state_->threads.clear();
  state_->seeder.Stop();
}

int StandInServices::Port(Service service) const {
  return state_->ports[static_cast<int>(service)];
}

int StandInServices::SeederPort() const { return state_->seeder.Port(); }

std::string StandInServices::Host(Service service) const { return state_->host(service); }

Settings StandInServices::ProgramSettings(const std::string& runningVersion) const {
  const std::string publisher = Host(Service::Publisher);
  Settings settings{
      .publisherHost = publisher,
      .firstSiteBase = "http://" + Host(Service::FirstSite),
      .secondSiteBase = "http://" + Host(Service::SecondSite),
      .resolutionHost = Host(Service::Resolution),
      .playerHost = Host(Service::Player),
      .liveTvHost = Host(Service::LiveTv),
      .runningVersion = runningVersion,
      .versionPageStored = EncipherText("http://" + publisher + "/adminapi/version.html", ""),
      .infoPageStored = EncipherText("http://" + publisher + "/adminapi/info.html", ""),
      .keywordListStored = EncipherText("http://" + publisher + "/adminapi/keywords.txt", ""),
      .updatePublicKey = state_->options.signingKey.empty()
                             ? std::string()
                             : PublicKeyOf(state_->options.signingKey),
  };
  return settings;
}

bool StandInServices::WriteTorrents(const std::string& dir) const {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  for (const auto& e : state_->catalogue.entries()) {
    std::ofstream out(dir + "/" + e.name + ".torrent", std::ios::binary | std::ios::trunc);
    out << e.torrent;
    if (!out) return false;
  }
  return true;
}

}  // namespace morvane::services
