// A film from a seeder on a slow line: while a player reads, the service asks the seeder for
// little at a time, so that a seek's piece is not queued behind seconds of what the player
// no longer needs; the player still gets the line's rate.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/stream/StreamFixture.h"
#include "tests/support/HeldLink.h"

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kPiece = 256 << 10;
constexpr std::int64_t kLine = 1 << 20;  // bytes a second

class SlowSwarmTest : public StreamFixture {};

// The body's first `n` bytes of the answer on `fd`; fewer when it ends before.
std::string BodyStart(int fd, std::size_t n) {
  std::string all;
  char buffer[1 << 16];
  for (;;) {
    const auto end = all.find("\r\n\r\n");
    if (end != std::string::npos && all.size() - end - 4 >= n) return all.substr(end + 4, n);
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return end == std::string::npos ? std::string() : all.substr(end + 4);
    all.append(buffer, static_cast<std::size_t>(got));
  }
}

TEST_F(SlowSwarmTest, APlayerIsServedAtTheLinesRateWhileTheSeederIsOwedLittle) {
  StartService();
  constexpr std::int64_t kSize = 24 << 20;
  const auto seeder = MakeSeeder("film.mp4", {{"film.mp4", kSize}}, {.pieceLength = kPiece});
  HeldLink line(seeder->Port(), kLine);
  const std::string path =
      PathOf(Resolve(seeder->MagnetLink(false) + "&x.pe=127.0.0.1:" + std::to_string(line.Port())));
  ASSERT_TRUE(path.starts_with("/stream/")) << path;
  const std::string source = ReadAll(seeder->SourcePath("film.mp4"));

  const int player = OpenRange(Port(), path, "0-");
  ASSERT_TRUE(BodyStart(player, 64 << 10) == source.substr(0, 64 << 10));
  std::atomic<bool> playing{true};
  std::atomic<std::int64_t> played{0};
  std::thread drain([&] {
    char buffer[1 << 16];
    for (ssize_t n; playing && (n = ::recv(player, buffer, sizeof buffer, 0)) > 0;) played += n;
  });
  // Once the service has measured the line (within a second and a half), it owes the seeder at most the
  // piece it fetches: a quarter second of this line. Unpaced, the seeder holds half a second
  // of requests in its send buffer and more behind them.
  std::this_thread::sleep_for(2500ms);
  std::int64_t owed = 0;
  const std::int64_t playedBefore = played;
  const auto from = Clock::now();
  while (Clock::now() - from < 2s) {
    owed = std::max(owed, seeder->Owed());
    std::this_thread::sleep_for(10ms);
  }
  const double rate = static_cast<double>(played - playedBefore) /
                      std::chrono::duration<double>(Clock::now() - from).count();
  playing = false;
  ::shutdown(player, SHUT_RDWR);
  drain.join();
  ::close(player);
  EXPECT_LE(owed, kPiece + (16 << 10)) << "bytes the seeder was owed at most";
  EXPECT_GE(rate, 0.7 * kLine) << "the player's bytes a second while paced";

  // A seek gets the bytes it asks for.
  const std::int64_t at = kSize * 6 / 10 + 12345;
  const int seek = OpenRange(Port(), path, std::to_string(at) + "-");
  EXPECT_TRUE(BodyStart(seek, 64 << 10) == source.substr(static_cast<std::size_t>(at), 64 << 10));
  ::close(seek);
}

}  // namespace
}  // namespace morvane::testing
