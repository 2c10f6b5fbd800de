// The streaming service against a loopback swarm of one in-process seeder of a 400 MiB
// video made when the benchmark starts (never kept). Figures, each against its target:
//   BM_MagnetToMetadata   resolution of a magnet (metadata fetched from the peer)  <= 1.5 s
//   BM_FirstBytes         metadata known -> first 64 KiB served                     <= 100 ms
//   BM_Streaming/BM_PlainDownload  the whole video served while it downloads, against a
//                         plain libtorrent session downloading the same torrent in the same
//                         run; ratio of throughputs                                >= 0.8
//   peak anonymous memory of the process while streaming (seeder included)        <= 150 MB
//   BM_Shutdown           Stop() in the middle of a stream                         <= 2 s

#include <benchmark/benchmark.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_info.hpp>
#include <memory>
#include <string>
#include <thread>

#include "bench/LoopbackStream.h"
#include "stream/StreamService.h"
#include "tests/stream/RawHttp.h"
#include "tests/support/Seeder.h"

namespace fs = std::filesystem;
namespace lt = libtorrent;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kVideoBytes = 400ll << 20;
constexpr int kPieceLength = 1 << 20;

using Swarm = morvane::bench::SeededSwarm;

Swarm& TheSwarm() {
  static Swarm swarm = [] {
    Swarm s;
    s.root = morvane::bench::NewScratchRoot("morvane-bench-stream");
    s.seeder = std::make_unique<morvane::testing::Seeder>(
        s.root / "seed", "big.mp4", std::vector<morvane::testing::SeedFile>{{"big.mp4", kVideoBytes}},
        morvane::testing::SeederOptions{.pieceLength = kPieceLength});
    return s;
  }();
  return swarm;
}

std::unique_ptr<morvane::stream::StreamService> StartService(const fs::path& cache) {
  return morvane::bench::StartLoopbackService(cache, /*convertMedia=*/false);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Reads an answer to the end, keeping only its size; `onBytes` sees the running count.
std::int64_t ReadBody(int port, const std::string& target, const std::string& headers,
                      const std::function<void(std::int64_t)>& onBytes = {}) {
  const int fd = morvane::testing::ConnectLoopback(port);
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::vector<char> buffer(1 << 20);
  std::string head;
  std::int64_t body = 0;
  for (;;) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    if (head.empty() || head.find("\r\n\r\n") == std::string::npos) {
      head.append(buffer.data(), static_cast<std::size_t>(n));
      const auto end = head.find("\r\n\r\n");
      if (end != std::string::npos) body = static_cast<std::int64_t>(head.size() - end - 4);
    } else {
      body += n;
    }
    if (onBytes) onBytes(body);
  }
  ::close(fd);
  return body;
}

// "/stream/HASH/NAME" of the swarm's video as the service resolves its magnet; empty when
// it does not.
std::string ResolvePath(int port, const Swarm& swarm) {
  return morvane::bench::ResolvePath(port, swarm.seeder->MagnetLink());
}

// Anonymous resident memory of this process, in bytes.
std::int64_t AnonymousMemory() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("RssAnon:")) return std::stoll(line.substr(8)) * 1024;
  return 0;
}

void BM_MagnetToMetadata(benchmark::State& state) {
  Swarm& swarm = TheSwarm();
  for (auto _ : state) {
    const fs::path cache = swarm.root / "cache-metadata";
    auto service = StartService(cache);
    const auto started = Clock::now();
    const std::string path = ResolvePath(service->Port(), swarm);
    const double seconds = Seconds(Clock::now() - started);
    if (path.empty()) state.SkipWithError("no address");
    state.SetIterationTime(seconds);
    state.counters["target_s"] = 1.5;
    service.reset();
    fs::remove_all(cache);
  }
}

void BM_FirstBytes(benchmark::State& state) {
  Swarm& swarm = TheSwarm();
  for (auto _ : state) {
    const fs::path cache = swarm.root / "cache-first";
    auto service = StartService(cache);
    const std::string path = ResolvePath(service->Port(), swarm);
    const auto started = Clock::now();
    const std::int64_t got = ReadBody(service->Port(), path, "Range: bytes=0-65535\r\n");
    state.SetIterationTime(Seconds(Clock::now() - started));
    if (got != 65536) state.SkipWithError("short answer");
    state.counters["target_s"] = 0.1;
    service.reset();
    fs::remove_all(cache);
  }
}

double gStreamSeconds = 0;     // the best of the iterations
double gPlainSeconds[2] = {};  // by variant
std::int64_t gPeakAnonymous = 0;

void BM_Streaming(benchmark::State& state) {
  Swarm& swarm = TheSwarm();
  for (auto _ : state) {
    const fs::path cache = swarm.root / "cache-stream";
    auto service = StartService(cache);
    const std::int64_t before = AnonymousMemory();
    std::atomic<bool> done{false};
    std::atomic<std::int64_t> peak{before};
    std::thread sampler([&] {
      while (!done) {
        peak = std::max<std::int64_t>(peak, AnonymousMemory());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    const auto started = Clock::now();
    const std::int64_t got = ReadBody(service->Port(), ResolvePath(service->Port(), swarm), "");
    const double seconds = Seconds(Clock::now() - started);
    done = true;
    sampler.join();
    if (got != kVideoBytes) state.SkipWithError("short stream");
    state.SetIterationTime(seconds);
    state.SetBytesProcessed(kVideoBytes);
    gStreamSeconds = gStreamSeconds == 0 ? seconds : std::min(gStreamSeconds, seconds);
    gPeakAnonymous = std::max<std::int64_t>(gPeakAnonymous, peak);
    state.counters["anon_MB"] = static_cast<double>(peak) / 1e6;
    state.counters["anon_target_MB"] = 150;
    service.reset();
    fs::remove_all(cache);
  }
}

// The same torrent fetched by a plain libtorrent session, the peer given the same way,
// timed from adding the magnet to the last piece. /0: libtorrent's default settings and
// disk back end; /1: the service's transport settings (TCP out, 100 ms tick), so that the
// ratio shows what streaming itself costs. The ratio is taken against the faster.
void BM_PlainDownload(benchmark::State& state) {
  const bool sameTransport = state.range(0) == 1;
  Swarm& swarm = TheSwarm();
  for (auto _ : state) {
    const fs::path folder = swarm.root / "plain";
    lt::settings_pack settings = morvane::testing::LoopbackSessionSettings();
    settings.set_int(lt::settings_pack::alert_mask, lt::alert_category::status);
    if (sameTransport) {
      settings.set_bool(lt::settings_pack::enable_outgoing_utp, false);
      settings.set_int(lt::settings_pack::tick_interval, 100);
    }
    lt::session session(settings);
    const auto started = Clock::now();
    lt::add_torrent_params params = lt::parse_magnet_uri(swarm.seeder->MagnetLink());
    params.save_path = folder.string();
    session.add_torrent(std::move(params));
    bool finished = false;
    while (!finished && Clock::now() - started < std::chrono::minutes(10)) {
      session.wait_for_alert(std::chrono::seconds(1));
      std::vector<lt::alert*> alerts;
      session.pop_alerts(&alerts);
      for (lt::alert* a : alerts)
        if (lt::alert_cast<lt::torrent_finished_alert>(a)) finished = true;
    }
    const double seconds = Seconds(Clock::now() - started);
    if (!finished) state.SkipWithError("not finished");
    state.SetIterationTime(seconds);
    state.SetBytesProcessed(kVideoBytes);
    double& best = gPlainSeconds[state.range(0)];
    best = best == 0 ? seconds : std::min(best, seconds);
    session.abort();
    fs::remove_all(folder);
  }
}

void BM_Shutdown(benchmark::State& state) {
  Swarm& swarm = TheSwarm();
  for (auto _ : state) {
    const fs::path cache = swarm.root / "cache-shutdown";
    auto service = StartService(cache);
    const int port = service->Port();
    const std::string path = ResolvePath(port, swarm);
    std::atomic<bool> halfway{false};
    std::thread reader([&] {
      ReadBody(port, path, "", [&](std::int64_t n) {
        if (n > kVideoBytes / 4) halfway = true;
      });
    });
    while (!halfway) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto started = Clock::now();
    service->Stop();
    state.SetIterationTime(Seconds(Clock::now() - started));
    state.counters["target_s"] = 2.0;
    reader.join();
    service.reset();
    fs::remove_all(cache);
  }
}

BENCHMARK(BM_MagnetToMetadata)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstBytes)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainDownload)->Arg(0)->Arg(1)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Streaming)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shutdown)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  for (int variant = 0; variant < 2; ++variant)
    if (gStreamSeconds > 0 && gPlainSeconds[variant] > 0)
      std::printf("streaming throughput / plain libtorrent download/%d: %.2f (target >= 0.8)\n",
                  variant, gPlainSeconds[variant] / gStreamSeconds);
  if (gPeakAnonymous > 0)
    std::printf("peak anonymous memory while streaming: %.0f MB (target <= 150 MB)\n",
                static_cast<double>(gPeakAnonymous) / 1e6);
  benchmark::Shutdown();
  if (!TheSwarm().root.empty()) {
    const fs::path root = TheSwarm().root;
    TheSwarm().seeder.reset();
    fs::remove_all(root);
  }
  return 0;
}
