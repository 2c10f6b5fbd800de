// The road of a film handed to mpv (no picture, no sound): mpv reads the stream from the
// service with the film's title, its subtitle and the saved place, and the place it reaches
// is kept by the service for the window to offer. The test reads mpv's IPC socket itself.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "cast/ExternalPlayer.h"
#include "stream/StreamService.h"
#include "tests/stream/RawHttp.h"
#include "tests/stream/StreamFixture.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/Seeder.h"

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;
constexpr char kKey[] = "mpv00123456789abcdef0123456789ab";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One request on mpv's socket and its answer's line.
std::string AskMpv(const std::string& socketPath, const std::string& command) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return "";
  }
  const std::string line = "{\"command\":" + command + ",\"request_id\":7}\n";
  (void)::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
  timeval wait{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  std::string answer;
  char buffer[4096];
  while (answer.find("\"request_id\":7") == std::string::npos) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  const auto at = answer.find("\"request_id\":7");
  if (at == std::string::npos) return "";
  const auto start = answer.rfind('\n', at);
  return answer.substr(start == std::string::npos ? 0 : start + 1, answer.find('\n', at) - (start == std::string::npos ? 0 : start + 1));
}

double NumberIn(const std::string& answer) {
  const auto at = answer.find("\"data\":");
  return at == std::string::npos ? -1 : std::atof(answer.c_str() + at + 7);
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

TEST(MpvRoad, PlaysWithTitleSubtitleAndPlaceAndKeepsWhereItGot) {
  if (cast::FindProgram("mpv").empty()) GTEST_SKIP() << "mpv is not installed (scripts/setup.sh installs it)";
  ScratchFolder scratch;
  const std::string film = scratch.Path("film.mp4");
  ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
                         "-i sine=frequency=440:sample_rate=48000 -t 30 -map 0:v -map 1:a -c:v libx264 "
                         "-preset ultrafast -g 25 -c:a aac -movflags +faststart " + film + " 2>&1").c_str()),
            0);
  const std::string subtitle = "1\n00:00:01,000 --> 00:00:29,000\n字幕 on screen\n\n";
  Seeder seeder(scratch.Path("seed"), "Mpv Road",
                {{"film.mp4", 0, ReadFile(film)}, {"film.srt", 0, subtitle}});
  stream::StreamOptions options = LoopbackOptions(scratch.Path("cache"));
  options.convertMedia = true;
  options.accessKey = kKey;
  stream::StreamService service(options);
  ASSERT_TRUE(service.Start());
  const std::string key = std::string("/") + kKey;
  const std::string address = FileOf(RawGet(service.Port(), key + "/xml.php?url=" + seeder.MagnetLink()).body);
  ASSERT_NE(address.find("/stream/"), std::string::npos) << address;
  const std::string base = address.substr(0, address.find("/stream/"));
  const std::string hash = seeder.InfoHashHex();
  const std::string files = RawGet(service.Port(), key + "/files/" + hash).body;
  const auto video = files.find("\"name\":\"Mpv Road/film.mp4\"");
  ASSERT_NE(video, std::string::npos) << files;
  const std::string index = files.substr(files.rfind("\"index\":", video) + 8, 1);
  ASSERT_NE(RawGet(service.Port(), key + "/subs/" + hash + "/list.json").body.find("\"subtitles\":[{"),
            std::string::npos);

  cast::Handoff handoff;
  // A list of two (the same film under two names): the second is the one chosen.
  handoff.entries = {{address, "Mpv Road 第1集", base + "/position/" + hash + "/" + index},
                     {address, "Mpv Road 第2集", base + "/position/" + hash + "/" + index}};
  handoff.first = 1;
  handoff.subtitle = base + "/subs/" + hash + "/0.srt";
  handoff.startSeconds = 12;
  std::promise<std::optional<cast::PlayerPosition>> ended;
  const cast::LaunchResult launched = cast::LaunchPlayer(
      "mpv --vo=null --ao=null --really-quiet", handoff,
      [&ended](std::optional<cast::PlayerPosition> last) { ended.set_value(last); });
  ASSERT_TRUE(launched.ok) << launched.message;
  ASSERT_FALSE(launched.ipcSocket.empty());

  ASSERT_TRUE(Within(15s, [&] { return NumberIn(AskMpv(launched.ipcSocket, "[\"get_property\",\"time-pos\"]")) >= 12; }));
  EXPECT_NE(AskMpv(launched.ipcSocket, "[\"get_property\",\"media-title\"]").find("\"data\":\"Mpv Road 第2集\""),
            std::string::npos);
  EXPECT_EQ(NumberIn(AskMpv(launched.ipcSocket, "[\"get_property\",\"playlist-pos\"]")), 1);
  EXPECT_EQ(NumberIn(AskMpv(launched.ipcSocket, "[\"get_property\",\"playlist-count\"]")), 2);
  EXPECT_NE(AskMpv(launched.ipcSocket, "[\"get_property\",\"current-tracks/sub/external-filename\"]")
                .find(handoff.subtitle),
            std::string::npos);
  EXPECT_NE(AskMpv(launched.ipcSocket, "[\"get_property\",\"sub-text\"]").find("字幕 on screen"), std::string::npos);

  // Kept every few seconds while it plays.
  const std::string position = key + "/position/" + hash + "/" + index;
  EXPECT_TRUE(Within(cast::kPositionInterval + 5s, [&] {
    return NumberIn("\"data\":" + RawGet(service.Port(), position).body.substr(11)) > 12;
  })) << RawGet(service.Port(), position).body;

  AskMpv(launched.ipcSocket, "[\"seek\",20,\"absolute\"]");
  std::this_thread::sleep_for(500ms);
  AskMpv(launched.ipcSocket, "[\"quit\"]");
  auto end = ended.get_future();
  ASSERT_EQ(end.wait_for(10s), std::future_status::ready);
  const auto last = end.get();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->entry, 1u);
  EXPECT_GE(last->seconds, 20);
  EXPECT_NEAR(last->duration, 30, 1);
  // And once more as it ends, where it got to.
  const std::string kept = RawGet(service.Port(), position).body;
  EXPECT_GE(std::atof(kept.c_str() + kept.find("\"seconds\":") + 10), 20) << kept;
  EXPECT_FALSE(std::filesystem::exists(launched.ipcSocket));
  service.Stop();
}

TEST(MpvRoad, AMissingPlayerIsNamed) {
  const cast::LaunchResult launched =
      cast::LaunchPlayer("no-such-player-here --x", cast::Handoff{{{"http://h/a", "A", ""}}, 0, "", 0, ""});
  EXPECT_FALSE(launched.ok);
  EXPECT_NE(launched.message.find("no-such-player-here"), std::string::npos);
  EXPECT_NE(launched.message.find("external-player"), std::string::npos);
}

}  // namespace
}  // namespace morvane::testing
