// Converted streams from the streaming service over a loopback swarm of one in-process
// seeder of a 720p HEVC/AAC film made with ffmpeg when the benchmark starts (never kept).
// Figures, each against its target:
//   BM_FirstFragment   magnet resolved (metadata, probe) and the converted stream's first
//                      fragment (its first pictures) received, fresh cache      <= 4 s
//   BM_Seek            a converted stream restarted at 60% of the film while the first
//                      one runs, to its first fragment                          <= 3 s

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "bench/LoopbackStream.h"
#include "stream/StreamService.h"
#include "tests/stream/RawHttp.h"
#include "tests/support/Seeder.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFilmSeconds = 20;

using Swarm = morvane::bench::SeededSwarm;

Swarm& TheSwarm() {
  static Swarm swarm = [] {
    Swarm s;
    s.root = morvane::bench::NewScratchRoot("morvane-bench-convert");
    const fs::path film = s.root / "film.mp4";
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i "
        "sine=frequency=440:sample_rate=48000 -t " + std::to_string(kFilmSeconds) +
        " -map 0:v -map 1:a -c:v libx265 -preset ultrafast -x265-params "
        "log-level=error:keyint=50:min-keyint=50 -tag:v hvc1 -c:a aac " + film.string();
    if (std::system(command.c_str()) != 0) std::abort();
    std::ifstream in(film, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    s.seeder = std::make_unique<morvane::testing::Seeder>(
        s.root / "seed", "film.mp4",
        std::vector<morvane::testing::SeedFile>{{"film.mp4", 0, bytes.str()}},
        morvane::testing::SeederOptions{.pieceLength = 256 << 10});
    return s;
  }();
  return swarm;
}

std::unique_ptr<morvane::stream::StreamService> StartService(const fs::path& cache) {
  return morvane::bench::StartLoopbackService(cache, /*convertMedia=*/true);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string ResolvePath(int port, const Swarm& swarm) {
  return morvane::bench::ResolvePath(port, swarm.seeder->MagnetLink());
}

// Opens the stream and reads until its first fragment is complete enough to show: past
// the first "moof" and its "mdat". Returns the open socket, or -1.
int UntilFirstFragment(int port, const std::string& target) {
  const int fd = morvane::testing::ConnectLoopback(port);
  if (fd < 0) return -1;
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string seen;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ::close(fd);
      return -1;
    }
    seen.append(buffer, static_cast<std::size_t>(n));
    const auto moof = seen.find("moof");
    if (moof != std::string::npos && seen.find("mdat", moof) != std::string::npos) return fd;
  }
}

void BM_FirstFragment(benchmark::State& state) {
  Swarm& swarm = TheSwarm();
  int run = 0;
  for (auto _ : state) {
    const fs::path cache = swarm.root / ("cache-first-" + std::to_string(run++));
    auto service = StartService(cache);
    const auto started = Clock::now();
    const std::string path = ResolvePath(service->Port(), swarm);
    const int fd = path.starts_with("/convert/") ? UntilFirstFragment(service->Port(), path) : -1;
    const double seconds = Seconds(Clock::now() - started);
    if (fd < 0) state.SkipWithError(("no converted stream: " + path).c_str());
    else ::close(fd);
    state.SetIterationTime(seconds);
    state.counters["target_s"] = 4;
    service.reset();
    fs::remove_all(cache);
  }
}

void BM_Seek(benchmark::State& state) {
  Swarm& swarm = TheSwarm();
  const fs::path cache = swarm.root / "cache-seek";
  auto service = StartService(cache);
  const std::string path = ResolvePath(service->Port(), swarm);
  for (auto _ : state) {
    const int playing = UntilFirstFragment(service->Port(), path);
    const auto started = Clock::now();
    const int fd = UntilFirstFragment(service->Port(), path + "?start=" + std::to_string(kFilmSeconds * 6 / 10));
    const double seconds = Seconds(Clock::now() - started);
    if (fd < 0 || playing < 0) state.SkipWithError("no converted stream");
    if (fd >= 0) ::close(fd);
    if (playing >= 0) ::close(playing);
    state.SetIterationTime(seconds);
    state.counters["target_s"] = 3;
  }
  service.reset();
  fs::remove_all(cache);
}

BENCHMARK(BM_FirstFragment)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Seek)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  fs::remove_all(TheSwarm().root);
  return 0;
}
