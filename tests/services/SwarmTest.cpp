// The loopback swarm of the stand-in services: the tracker's answers, a real BitTorrent
// download from the services' seeder (found through the tracker, bytes identical to the
// source, the seeder's upload cap holding) and the player's relay of a stream's status.

#include <gtest/gtest.h>
#include <httplib.h>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "services/Catalogue.h"
#include "services/LoopbackSession.h"
#include "services/StandInServices.h"
#include "services/StreamStatus.h"
#include "services/Tracker.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/LocalServer.h"

namespace morvane::services {
namespace {

using namespace std::chrono_literals;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The "ip:port" peers of a compact list in a tracker's answer, or {"failure"}.
std::vector<std::string> PeersOf(const std::string& answer) {
  if (answer.find("failure reason") != std::string::npos) return {"failure"};
  const auto at = answer.find("5:peers");
  if (at == std::string::npos) return {"no peers key"};
  const auto colon = answer.find(':', at + 7);
  const std::size_t length = std::stoul(answer.substr(at + 7, colon - at - 7));
  const std::string compact = answer.substr(colon + 1, length);
  std::vector<std::string> peers;
  for (std::size_t i = 0; i + 6 <= compact.size(); i += 6) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(compact[i + k]); };
    peers.push_back(std::to_string(b(0)) + "." + std::to_string(b(1)) + "." + std::to_string(b(2)) +
                    "." + std::to_string(b(3)) + ":" + std::to_string(b(4) << 8 | b(5)));
  }
  return peers;
}

TEST(TrackerTest, AnnouncesRegisterPeersAndListTheOthers) {
  Tracker tracker(30s);
  tracker.AddPermanentPeer("127.0.0.1", 6000);
  const std::string hash(20, 'h');
  const std::string other(20, 'o');
  const auto start = Tracker::Clock::now();
  struct Step {
    const char* what;
    std::string hash;
    const char* remote;
    const char* port;
    const char* event;    // "" for none
    const char* numwant;  // "" for the default
    std::chrono::seconds at;
    std::vector<std::string> peers;  // in the tracker's order, or {"failure"}
  };
  // clang-format off
  const Step steps[] = {
      {"first peer sees the seeder", hash, "127.0.0.1", "7001", "started", "", 0s,
       {"127.0.0.1:6000"}},
      {"second peer also sees the first", hash, "127.0.0.2", "7002", "", "", 1s,
       {"127.0.0.1:6000", "127.0.0.1:7001"}},
      {"the first peer is not sent itself", hash, "127.0.0.1", "7001", "", "", 2s,
       {"127.0.0.1:6000", "127.0.0.2:7002"}},
      {"numwant caps the list", hash, "127.0.0.3", "7003", "", "1", 3s, {"127.0.0.1:6000"}},
      {"another swarm holds only the seeder", other, "127.0.0.1", "7001", "", "", 3s,
       {"127.0.0.1:6000"}},
      {"a stopped peer is forgotten", hash, "127.0.0.2", "7002", "stopped", "", 4s, {}},
      {"so the others no longer see it", hash, "127.0.0.1", "7001", "", "", 5s,
       {"127.0.0.1:6000", "127.0.0.3:7003"}},
      {"silent peers expire after two intervals", hash, "127.0.0.9", "7009", "", "", 64s,
       {"127.0.0.1:6000", "127.0.0.1:7001"}},
      {"a short hash is refused", std::string(19, 'h'), "127.0.0.1", "7001", "", "", 65s,
       {"failure"}},
      {"a port out of range is refused", hash, "127.0.0.1", "70000", "", "", 65s, {"failure"}},
      {"a port that is no number is refused", hash, "127.0.0.1", "12a", "", "", 65s,
       {"failure"}},
      {"an IPv6 peer is refused", hash, "::1", "7001", "", "", 65s, {"failure"}},
  };
  // clang-format on
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    Tracker::Parameters parameters{{"info_hash", s.hash}, {"port", s.port}, {"left", "100"}};
    if (*s.event) parameters.emplace("event", s.event);
    if (*s.numwant) parameters.emplace("numwant", s.numwant);
    EXPECT_EQ(PeersOf(tracker.Announce(parameters, s.remote, start + s.at)), s.peers);
  }
  EXPECT_EQ(PeersOf(tracker.Announce({{"port", "1"}}, "127.0.0.1")),
            std::vector<std::string>{"failure"});
}

// The stand-in services, seeding, with their resolution service off as in the run command.
class SwarmTest : public ::testing::Test {
 protected:
  static std::unique_ptr<StandInServices> StartServices(int seedUploadLimit) {
    ServicesOptions options;
    options.portBase = 0;
    options.catalogueDir = MORVANE_SERVICES_DATA_DIR "/catalogue";
    options.mediaDir = MORVANE_SERVICES_DATA_DIR "/media";
    options.extraMediaDir = MORVANE_GENERATED_MEDIA_DIR;
    options.seedUploadLimit = seedUploadLimit;
    auto services = std::make_unique<StandInServices>(options);
    if (!services->Start()) return nullptr;
    return services;
  }

  static const CatalogueEntry& LongVideo() {
    static const Catalogue catalogue =
        Catalogue::Load(MORVANE_SERVICES_DATA_DIR "/catalogue", MORVANE_SERVICES_DATA_DIR "/media",
                        MORVANE_GENERATED_MEDIA_DIR);
    for (const auto& e : catalogue.entries())
      if (e.media == "sintel-long.mp4") return e;
    ADD_FAILURE() << "no two-minute video: scripts/make-media.sh makes it";
    return catalogue.entries().front();
  }

  // Downloads a torrent with a client session of our own (no DHT, no local discovery: the
  // tracker is the only way to the seeder) into `folder`; the time it took, or a negative
  // duration when it did not finish within the limit.
  static std::chrono::milliseconds Download(lt::add_torrent_params torrent,
                                            const std::string& folder) {
    lt::settings_pack pack = LoopbackSessionSettings();
    pack.set_int(lt::settings_pack::alert_mask, lt::alert_category::status);
    lt::session client(pack);
    torrent.save_path = folder;
    const auto start = std::chrono::steady_clock::now();
    lt::torrent_handle handle = client.add_torrent(std::move(torrent));
    const auto deadline = start + 120s;
    while (std::chrono::steady_clock::now() < deadline) {
      client.wait_for_alert(200ms);
      std::vector<lt::alert*> alerts;
      client.pop_alerts(&alerts);
      for (lt::alert* a : alerts)
        if (lt::alert_cast<lt::torrent_finished_alert>(a))
          return std::chrono::duration_cast<std::chrono::milliseconds>(
              std::chrono::steady_clock::now() - start);
    }
    return -1ms;
  }
};

TEST_F(SwarmTest, TorrentFileDownloadsFromTheSeederThroughTheTracker) {
  const auto services = StartServices(0);
  ASSERT_TRUE(services);
  // The resolution service is left to a real one.
  EXPECT_EQ(services->Port(Service::Resolution), 0);
  const CatalogueEntry& entry = LongVideo();

  // The torrent as the publisher serves it announces to the publisher's tracker.
  httplib::Client publisher("127.0.0.1", services->Port(Service::Publisher));
  const auto answer = publisher.Get("/torrents/" + entry.hash + ".torrent");
  ASSERT_TRUE(answer);
  const std::string& torrent = answer->body;
  lt::add_torrent_params params;
  params.ti = std::make_shared<lt::torrent_info>(
      lt::span<const char>(torrent.data(), static_cast<long>(torrent.size())), lt::from_span);
  ASSERT_EQ(params.ti->trackers().size(), 1u);
  EXPECT_EQ(params.ti->trackers()[0].url, AnnounceAddress(services->Host(Service::Publisher)));
  EXPECT_EQ(params.ti->files().file_name(lt::file_index_t{0}).to_string(), entry.name + ".mp4");

  testing::ScratchFolder folder;
  ASSERT_GT(Download(std::move(params), folder.path()).count(), 0);
  EXPECT_TRUE(ReadAll(folder.path() + "/" + entry.name + ".mp4") == ReadAll(entry.mediaPath));
}

TEST_F(SwarmTest, MagnetDownloadKeepsToTheSeedersUploadCap) {
  constexpr int kCap = 1 << 20;
  const auto services = StartServices(kCap);
  ASSERT_TRUE(services);
  const CatalogueEntry& entry = LongVideo();
  const std::string magnet = "magnet:?xt=urn:btih:" + entry.hash +
                             "&tr=" + AnnounceAddress(services->Host(Service::Publisher));
  testing::ScratchFolder folder;
  const auto took = Download(lt::parse_magnet_uri(magnet), folder.path());
  ASSERT_GT(took.count(), 0);
  EXPECT_TRUE(ReadAll(folder.path() + "/" + entry.name + ".mp4") == ReadAll(entry.mediaPath));
  // The cap allows a short burst; half the capped time is a safe lower bound.
  const auto capped = std::chrono::milliseconds(
      1000LL * static_cast<long long>(std::filesystem::file_size(entry.mediaPath)) / kCap);
  EXPECT_GE(took, capped / 2) << "took " << took.count() << " ms";
}

// The season pack: one torrent of the folder's files under the catalogue's name, seeded
// from the folder as it is.
TEST_F(SwarmTest, TheSeasonPackDownloadsWholeFromTheSeeder) {
  const auto services = StartServices(0);
  ASSERT_TRUE(services);
  const Catalogue catalogue = Catalogue::Load(MORVANE_SERVICES_DATA_DIR "/catalogue",
                                              MORVANE_SERVICES_DATA_DIR "/media", MORVANE_GENERATED_MEDIA_DIR);
  const CatalogueEntry* pack = nullptr;
  for (const auto& e : catalogue.entries())
    if (e.media == "lighthouse-s01") pack = &e;
  ASSERT_NE(pack, nullptr) << "no season pack: scripts/make-media.sh makes it";
  const std::vector<std::string> files = PackFiles(pack->mediaPath);
  ASSERT_EQ(files.size(), 9u);
  EXPECT_EQ(LargestPackVideo(pack->mediaPath), "The.Lighthouse.S01E01.1080p.mp4");

  httplib::Client publisher("127.0.0.1", services->Port(Service::Publisher));
  const auto answer = publisher.Get("/torrents/" + pack->hash + ".torrent");
  ASSERT_TRUE(answer);
  lt::add_torrent_params params;
  params.ti = std::make_shared<lt::torrent_info>(
      lt::span<const char>(answer->body.data(), static_cast<long>(answer->body.size())), lt::from_span);
  ASSERT_EQ(params.ti->num_files(), static_cast<int>(files.size()));
  EXPECT_EQ(params.ti->name(), pack->name);
  testing::ScratchFolder folder;
  ASSERT_GT(Download(std::move(params), folder.path()).count(), 0);
  for (const std::string& file : files)
    EXPECT_TRUE(ReadAll(folder.path() + "/" + pack->name + "/" + file) == ReadAll(pack->mediaPath + "/" + file))
        << file;
}

TEST(StreamStatusTest, PlayerRelaysTheStatusOfAStreamingService) {
  const std::string hash(40, 'a');
  testing::LocalServer streaming;
  const auto status = [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{\"peers\":1,\"downloadRate\":2048}", "application/json");
  };
  streaming.server().Get("/status/" + hash, status);
  // A keyed service's addresses begin with its key.
  streaming.server().Get("/key-of-the-service/status/" + hash, status);
  streaming.Start();
  testing::LocalServer player;
  RouteStreamStatus(player.server());
  player.Start();
  const std::string nobody = testing::ClosedHost();

  httplib::Client client("127.0.0.1", player.port());
  struct Case {
    std::string service;
    std::string hash;
    int status;
    std::string key = {};
  };
  const Case cases[] = {
      {streaming.host(), hash, 200},
      {streaming.host(), hash, 200, "key-of-the-service"},
      {streaming.host(), hash, 404, "another-key"},
      {streaming.host(), hash, 400, "../status"},
      {streaming.host(), hash, 400, "a/b"},
      {streaming.host(), hash, 400, "a?b"},
      {streaming.host(), std::string(40, 'b'), 404},
      {streaming.host(), std::string(64, 'c'), 404},
      {nobody, hash, 502},
      {"127.0.0.1", hash, 400},
      {"127.0.0.1:99999", hash, 400},
      {"evil.example/x:80", hash, 400},
      {"user@127.0.0.1:80", hash, 400},
      {streaming.host(), "../../etc/passwd", 400},
      {streaming.host(), std::string(39, 'a'), 400},
      {streaming.host(), std::string(40, 'g'), 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.service + " " + c.hash + " " + c.key);
    httplib::Params params{{"service", c.service}, {"hash", c.hash}};
    if (!c.key.empty()) params.emplace("key", c.key);
    const auto answer = client.Get("/stream-status", params, {});
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, c.status);
    if (c.status == 200) {
      EXPECT_EQ(answer->body, "{\"peers\":1,\"downloadRate\":2048}");
    }
  }
}

}  // namespace
}  // namespace morvane::services
