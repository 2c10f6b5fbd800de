// The film being watched gets the line: films nobody watches stop downloading, seed for a
// while and stop, and the limits hold peers on this machine too. Short settings stand for
// the defaults' seconds and minutes.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>
#include <thread>

#include "tests/stream/StreamFixture.h"

namespace lt = libtorrent;

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool Eventually(const std::function<bool()>& done, Clock::duration limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A stream's status as the service answers it.
struct Status {
  std::string body;
  double Number(const std::string& key) const {
    const auto at = body.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::stod(body.substr(at + key.size() + 3));
  }
  std::string State() const {
    const std::string key = "\"state\":\"";
    const auto at = body.find(key);
    if (at == std::string::npos) return {};
    return body.substr(at + key.size(), body.find('"', at + key.size()) - at - key.size());
  }
};

// A downloader that knows no peer but the one that calls it (no tracker, no peer exchange),
// on its own loopback address: the service's torrent keeps one peer for each address.
class Leecher {
 public:
  Leecher(const std::filesystem::path& folder, const std::vector<char>& torrent) {
    lt::settings_pack settings = LoopbackSessionSettings();
    settings.set_str(lt::settings_pack::listen_interfaces, "127.0.0.2:0");
    session_ = std::make_unique<lt::session>(lt::session_params(settings, {}));
    lt::add_torrent_params params;
    params.ti = std::make_shared<lt::torrent_info>(torrent, lt::from_span);
    params.save_path = folder.string();
    params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
    handle_ = session_->add_torrent(std::move(params));
    Eventually([&] { return session_->listen_port() != 0; }, 10s);
  }
  std::string Address() const { return "127.0.0.2:" + std::to_string(session_->listen_port()); }
  std::int64_t Received() const { return handle_.status({}).total_payload_download; }

 private:
  std::unique_ptr<lt::session> session_;
  lt::torrent_handle handle_;
};

class StreamLifecycleTest : public StreamFixture {
 protected:
  Status StatusOf(const std::string& hash) { return {RawGet(Port(), "/status/" + hash).body}; }
  bool Becomes(const std::string& hash, const std::string& state, Clock::duration limit = 15s) {
    return Eventually([&] { return StatusOf(hash).State() == state; }, limit);
  }
};

std::string RangeHeader(std::int64_t begin, std::int64_t end) {
  return "Range: bytes=" + std::to_string(begin) + "-" + std::to_string(end - 1) + "\r\n";
}

TEST_F(StreamLifecycleTest, AFilmNobodyWatchesStopsDownloadingAndStartsAgainWhenAskedFor) {
  StartService([](stream::StreamOptions& o) { o.lifecycle.idleAfter = 1s; });
  constexpr std::int64_t kSize = 4 << 20;
  // A comes slowly, so that it is far from whole when its player has gone.
  const auto a = MakeSeeder("a.mp4", {{"a.mp4", kSize}}, {.uploadLimit = 256 << 10});
  const auto b = MakeSeeder("b.mp4", {{"b.mp4", 1 << 20}});
  const std::string hashA = a->InfoHashHex();
  const std::string pathA = PathOf(Resolve(a->MagnetLink()));
  const std::string sourceA = ReadAll(a->SourcePath("a.mp4"));
  EXPECT_TRUE(RawGet(Port(), pathA, RangeHeader(0, 100000)).body == sourceA.substr(0, 100000));
  EXPECT_EQ(StatusOf(hashA).State(), "watching");

  // B is played; A, read by nobody past the idle time, stops and says so.
  EXPECT_TRUE(RawGet(Port(), PathOf(Resolve(b->MagnetLink()))).body == ReadAll(b->SourcePath("b.mp4")));
  ASSERT_TRUE(Becomes(hashA, "idle")) << StatusOf(hashA).body;
  ASSERT_TRUE(Eventually([&] { return StatusOf(hashA).Number("downloadRate") == 0; }, 10s))
      << StatusOf(hashA).body;
  const Status idle = StatusOf(hashA);
  std::this_thread::sleep_for(1500ms);
  const Status later = StatusOf(hashA);
  EXPECT_EQ(later.Number("bytesVerified"), idle.Number("bytesVerified")) << later.body;
  EXPECT_LT(later.Number("bytesVerified"), kSize);
  EXPECT_EQ(later.State(), "idle");
  EXPECT_GE(later.Number("peers"), 1) << "an idle torrent keeps its peers: " << later.body;

  // A new resolution starts it again at once...
  EXPECT_EQ(Resolve(a->MagnetLink()), Base() + pathA);
  EXPECT_EQ(StatusOf(hashA).State(), "watching");
  EXPECT_TRUE(Eventually([&] { return StatusOf(hashA).Number("bytesVerified") > later.Number("bytesVerified"); }, 10s));
  // ...and so does a reader, once it has gone idle again; every byte is the film's.
  ASSERT_TRUE(Becomes(hashA, "idle")) << StatusOf(hashA).body;
  EXPECT_TRUE(RawGet(Port(), pathA, RangeHeader(0, 100000)).body == sourceA.substr(0, 100000));
  EXPECT_EQ(StatusOf(hashA).State(), "watching");
  a->SetUploadLimit(0);
  const RawAnswer whole = RawGet(Port(), pathA);
  EXPECT_EQ(whole.status, 200);
  EXPECT_TRUE(whole.body == sourceA) << whole.body.size() << " bytes";
  EXPECT_EQ(StatusOf(hashA).Number("bytesVerified"), kSize);
}

TEST_F(StreamLifecycleTest, SeedingStopsAtTheRatio) {
  StartService([](stream::StreamOptions& o) {
    o.lifecycle = {500ms, 0.5, 1h};
    o.maxUploadRate = 256 << 10;  // so that the stop comes well before the leecher has it all
  });
  constexpr std::int64_t kSize = 2 << 20;
  const auto seeder = MakeSeeder("film.mp4", {{"film.mp4", kSize}});
  const std::string hash = seeder->InfoHashHex();
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  EXPECT_EQ(RawGet(Port(), path).body.size(), static_cast<std::size_t>(kSize));
  ASSERT_TRUE(Becomes(hash, "seeding")) << StatusOf(hash).body;
  EXPECT_EQ(StatusOf(hash).Number("ratio"), 0);

  // A leecher named in a resolution of the same film takes from it until it has given half.
  Leecher leecher(Root() / "leecher", seeder->TorrentBytes());
  Resolve(seeder->MagnetLink(false) + "&x.pe=" + leecher.Address());
  ASSERT_TRUE(Becomes(hash, "stopped", 30s)) << StatusOf(hash).body;
  const Status stopped = StatusOf(hash);
  EXPECT_GE(stopped.Number("ratio"), 0.5) << stopped.body;
  EXPECT_GE(stopped.Number("uploaded"), kSize / 2) << stopped.body;
  EXPECT_EQ(stopped.Number("downloaded"), kSize) << stopped.body;
  EXPECT_TRUE(Eventually([&] { return StatusOf(hash).Number("peers") == 0; }, 5s)) << StatusOf(hash).body;
  const std::int64_t received = leecher.Received();
  EXPECT_GE(received, kSize / 2);
  EXPECT_LT(received, kSize) << "the leecher got the whole film: the seeding did not stop";
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(leecher.Received(), received) << "a stopped torrent sends nothing";
  // Its data stays in the cache.
  EXPECT_TRUE(RawGet(Port(), path).body == ReadAll(seeder->SourcePath("film.mp4")));
}

TEST_F(StreamLifecycleTest, SeedingStopsAtTheTimeAndTheFilmPlaysOnFromTheCache) {
  struct Case {
    const char* what;
    stream::LifecycleSettings settings;
    Clock::duration notBefore;  // after the player left, with the alert thread's half second
    bool seedsFirst;
  } cases[] = {
      {"30 min stands as 3 s", {500ms, 10.0, 3s}, 2s, true},
      {"ratio 0: no seeding once no longer watched", {500ms, 0, 1h}, 0s, false},
      {"time 0: no seeding once no longer watched", {500ms, 10.0, 0ms}, 0s, false},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartService([&](stream::StreamOptions& o) { o.lifecycle = c.settings; });
    const std::string name = "film" + std::to_string(round++) + ".mp4";
    auto seeder = MakeSeeder(name, {{name, 1 << 20}});
    const std::string hash = seeder->InfoHashHex();
    const std::string source = ReadAll(seeder->SourcePath(name));
    const std::string path = PathOf(Resolve(seeder->MagnetLink()));
    EXPECT_TRUE(RawGet(Port(), path).body == source);
    const auto left = Clock::now();
    std::string seen;
    ASSERT_TRUE(Eventually(
        [&] {
          const std::string state = StatusOf(hash).State();
          if (seen.empty() || !seen.ends_with(state)) seen += (seen.empty() ? "" : ",") + state;
          return state == "stopped";
        },
        15s))
        << seen;
    EXPECT_GE(Clock::now() - left, c.notBefore) << seen;
    EXPECT_EQ(seen.find("seeding") != std::string::npos, c.seedsFirst) << seen;
    EXPECT_TRUE(Eventually([&] { return StatusOf(hash).Number("peers") == 0; }, 5s)) << StatusOf(hash).body;
    // With its swarm gone, a player reads it whole from the cache, and it is watched again.
    seeder.reset();
    EXPECT_TRUE(RawGet(Port(), path).body == source);
    EXPECT_EQ(StatusOf(hash).State(), "watching");
    StopService();
  }
}

TEST_F(StreamLifecycleTest, AStoppedFilmReadAgainFetchesWhatItLacksFromItsPeers) {
  // No seeding after watching: it stops once idle, with most of its film missing.
  StartService([](stream::StreamOptions& o) { o.lifecycle = {500ms, 0, 1h}; });
  constexpr std::int64_t kSize = 4 << 20;
  const auto seeder = MakeSeeder("part.mp4", {{"part.mp4", kSize}}, {.uploadLimit = 256 << 10});
  const std::string hash = seeder->InfoHashHex();
  const std::string source = ReadAll(seeder->SourcePath("part.mp4"));
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  EXPECT_TRUE(RawGet(Port(), path, RangeHeader(0, 100000)).body == source.substr(0, 100000));
  ASSERT_TRUE(Becomes(hash, "stopped")) << StatusOf(hash).body;
  EXPECT_LT(StatusOf(hash).Number("bytesVerified"), kSize);
  // Soon after, well within the minute libtorrent waits before calling a peer again.
  seeder->SetUploadLimit(0);
  const RawAnswer whole = RawGet(Port(), path);
  EXPECT_EQ(whole.status, 200);
  EXPECT_TRUE(whole.body == source) << whole.body.size() << " bytes";
}

TEST_F(StreamLifecycleTest, PeersOnThisMachineAreHeldToTheDownloadLimit) {
  // Unheld, loopback brings the film in a few hundredths of a second.
  StartService([](stream::StreamOptions& o) { o.maxDownloadRate = 512 << 10; });
  constexpr std::int64_t kSize = 2 << 20;
  const auto seeder = MakeSeeder("held.mp4", {{"held.mp4", kSize}});
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  const auto started = Clock::now();
  EXPECT_TRUE(RawGet(Port(), path).body == ReadAll(seeder->SourcePath("held.mp4")));
  // 4 s at the limit; libtorrent lets out up to a second's worth at once.
  EXPECT_GE(Clock::now() - started, 2s);
}

}  // namespace
}  // namespace morvane::testing
