// The road of a cast against a real renderer with no screen: gmediarender (GStreamer into
// fake sinks that keep time) in one network namespace, Morvane's side (a seeder on its
// loopback, the streaming service, the renderer control) in another, the two joined by a
// veth pair. The renderer is found by SSDP, fetches the film from the service's keyed
// listener on the pair's address, and follows play, pause, seek and stop; a film it does
// not decode (HEVC and AC3, struck from its sink) reaches it converted.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "cast/CastSession.h"
#include "cast/Renderers.h"
#include "stream/StreamService.h"
#include "tests/stream/RawHttp.h"
#include "tests/stream/StreamFixture.h"
#include "tests/support/NamespacePair.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/Seeder.h"
#include "web/FetchPage.h"

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;
using cast::CastFilm;
using cast::CastSession;
using cast::Renderer;
using cast::Renderers;

constexpr char kKey[] = "road0123456789abcdef0123456789ab";
constexpr char kRendererName[] = "Morvane Road Renderer";

struct Logged {
  std::string client, target, range;
  int status = 0;
};

class RequestLog {
 public:
  void Add(const HttpRequest& request, int status) {
    std::lock_guard lock(mutex_);
    lines_.push_back({request.client, request.target, request.range, status});
  }
  // Ranged requests for the film from `client`, beginning at or after `from`.
  int RangesFrom(const std::string& client, const std::string& path, long long from) const {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const Logged& line : lines_)
      if (line.client == client && line.target.find(path) != std::string::npos &&
          line.range.starts_with("bytes=") && std::atoll(line.range.c_str() + 6) >= from)
        ++count;
    return count;
  }
  bool Requested(const std::string& client, const std::string& part) const {
    std::lock_guard lock(mutex_);
    for (const Logged& line : lines_)
      if (line.client == client && line.target.find(part) != std::string::npos) return true;
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Logged> lines_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool MakeFilm(const std::string& recipe, const std::string& path) {
  const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 "
                              "-f lavfi -i sine=frequency=440:sample_rate=48000 " +
                              recipe + " " + path + " 2>&1";
  return std::system(command.c_str()) == 0;
}

template <typename Check>
bool Within(std::chrono::milliseconds limit, Check check) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (check()) return true;
    std::this_thread::sleep_for(200ms);
  }
  return check();
}

TEST(RendererRoad, FindsCastsFollowsAndConverts) {
  if (std::system("command -v gmediarender >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "gmediarender is not installed (scripts/setup.sh installs it)";
  NamespacePair pair;
  if (!pair.Ok()) GTEST_SKIP() << pair.Why();
  ScratchFolder scratch;
  const std::string plain = scratch.Path("road-film.mp4");
  const std::string hevc = scratch.Path("road-hevc.mkv");
  ASSERT_TRUE(MakeFilm("-t 40 -map 0:v -map 1:a -c:v libx264 -preset ultrafast -g 25 -c:a aac "
                       "-movflags +faststart",
                       plain));
  ASSERT_TRUE(MakeFilm("-t 20 -map 0:v -map 1:a -c:v libx265 -preset ultrafast "
                       "-x265-params log-level=error:keyint=25 -c:a ac3",
                       hevc));

  // A renderer that lists no HEVC and no AC3, as most TVs of a few years ago.
  const std::string rendererLog = scratch.Path("gmediarender.log");
  ASSERT_GT(pair.Spawn(1,
                       {"gmediarender", "--interface-name", pair.Interface(1), "--friendly-name",
                        kRendererName, "--uuid", "a1b2c3d4-0000-4000-8000-00000000beef",
                        "--gstout-videopipe", "fakesink sync=true", "--gstout-audiopipe",
                        "fakesink sync=true", "--mime-filter", "-video/x-h265,-audio/x-ac3,-audio/ac3",
                        "--logfile", "stderr"},
                       rendererLog),
            0);

  // From here on this thread, and every thread it starts, is on Morvane's side.
  ASSERT_TRUE(pair.Enter(0));
  RequestLog log;
  Seeder plainSeeder(scratch.Path("seed-plain"), "road-film.mp4",
                     {{"road-film.mp4", 0, ReadFile(plain)}});
  Seeder hevcSeeder(scratch.Path("seed-hevc"), "road-hevc.mkv", {{"road-hevc.mkv", 0, ReadFile(hevc)}});
  stream::StreamOptions options = LoopbackOptions(scratch.Path("cache"));
  options.convertMedia = true;
  options.accessKey = kKey;
  options.requestLog = [&log](const HttpRequest& request, int status) { log.Add(request, status); };
  stream::StreamService service(options);
  ASSERT_TRUE(service.Start());
  const std::string key = std::string("/") + kKey;
  const std::string address =
      FileOf(RawGet(service.Port(), key + "/xml.php?url=" + plainSeeder.MagnetLink()).body);
  ASSERT_NE(address.find("/stream/"), std::string::npos) << address;

  Renderers renderers;
  const auto searched = std::chrono::steady_clock::now();
  std::optional<Renderer> renderer;
  ASSERT_TRUE(Within(3s, [&] {
    for (const Renderer& r : renderers.Known())
      if (r.name == kRendererName) renderer = r;
    return renderer.has_value();
  })) << "no renderer found within 3 s (" << renderers.Known().size() << " others)";
  RecordProperty("found_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::steady_clock::now() - searched)
                                                  .count()));
  EXPECT_EQ(renderer->interfaceName, pair.Interface(0));
  EXPECT_EQ(renderer->localAddress, pair.Address(0));
  EXPECT_EQ(renderer->deviceAddress, pair.Address(1));

  CastSession session(renderers, renderer->id, [&](const Renderer& r) {
    return service.OpenKeyedListener(r.localAddress);
  });
  const auto cast = session.Start(CastFilm{address, "Road film 路", -1, -1, 0});
  ASSERT_TRUE(cast.ok) << cast.error << "\n" << ReadFile(rendererLog);
  EXPECT_FALSE(cast.converted) << cast.reason;
  EXPECT_TRUE(cast.uri.starts_with("http://" + pair.Address(0) + ":")) << cast.uri;

  // The keyed listener on the pair's address answers nobody without the key.
  const std::string listener = cast.uri.substr(0, cast.uri.find(key));
  EXPECT_NE(FetchPage(listener + "/status/" + plainSeeder.InfoHashHex()).find("needs its key"),
            std::string::npos);

  const std::string hash = plainSeeder.InfoHashHex();
  EXPECT_TRUE(Within(20s, [&] {
    const auto state = session.State();
    return state && state->state == "PLAYING" && state->seconds >= 2;
  })) << ReadFile(rendererLog);

  ASSERT_TRUE(session.Pause().ok);
  ASSERT_TRUE(Within(5s, [&] {
    const auto state = session.State();
    return state && state->state == "PAUSED_PLAYBACK";
  }));
  const double paused = session.State()->seconds;
  std::this_thread::sleep_for(1500ms);
  EXPECT_NEAR(session.State()->seconds, paused, 0.5);

  ASSERT_TRUE(session.Resume().ok);
  ASSERT_TRUE(session.Seek(30).ok);
  EXPECT_TRUE(Within(10s, [&] {
    const auto state = session.State();
    return state && state->seconds >= 30;
  }));
  if (const auto volume = session.Volume()) {
    EXPECT_TRUE(session.SetVolume(40).ok);
    EXPECT_EQ(session.Volume().value_or(-1), 40);
  }
  ASSERT_TRUE(session.Stop().ok);
  EXPECT_TRUE(Within(5s, [&] {
    const auto state = session.State();
    return state && state->state == "STOPPED";
  }));
  // Logged once answered: the renderer read the film from its keyed address, and after the
  // seek from a byte well into it (the thirtieth second of forty).
  EXPECT_TRUE(Within(5s, [&] { return log.RangesFrom(pair.Address(1), key + "/stream/" + hash, 0) >= 1; }));
  EXPECT_GE(log.RangesFrom(pair.Address(1), key + "/stream/" + hash,
                           static_cast<long long>(std::filesystem::file_size(plain) / 2)),
            1);

  // HEVC and AC3: its own address, but the renderer is sent the converter's.
  const std::string hevcHash = hevcSeeder.InfoHashHex();
  ASSERT_FALSE(FileOf(RawGet(service.Port(), key + "/xml.php?url=" + hevcSeeder.MagnetLink()).body).empty());
  const std::string hevcAddress =
      "http://127.0.0.1:" + std::to_string(service.Port()) + key + "/stream/" + hevcHash + "/road-hevc.mkv";
  CastSession converted(renderers, renderer->id, [&](const Renderer& r) {
    return service.OpenKeyedListener(r.localAddress);
  });
  const auto second = converted.Start(CastFilm{hevcAddress, "Road HEVC", -1, -1, 0});
  ASSERT_TRUE(second.ok) << second.error;
  EXPECT_TRUE(second.converted);
  EXPECT_NE(second.uri.find("/convert/" + hevcHash + "/road-hevc.mp4"), std::string::npos) << second.uri;
  EXPECT_TRUE(Within(30s, [&] {
    const auto state = converted.State();
    return state && state->state == "PLAYING" && state->seconds >= 2;
  })) << ReadFile(rendererLog);
  // A seek in a converted film sends the converter's stream from the place sought.
  ASSERT_TRUE(converted.Seek(12).ok);
  EXPECT_TRUE(Within(20s, [&] {
    const auto state = converted.State();
    return state && state->seconds >= 12 && state->state == "PLAYING";
  }));
  converted.Stop();
  EXPECT_TRUE(Within(5s, [&] {
    return log.Requested(pair.Address(1), "/convert/" + hevcHash + "/road-hevc.mp4?start=12");
  }));
  service.Stop();
}

}  // namespace
}  // namespace morvane::testing
