// The streaming service against a loopback swarm of one in-process seeder of a 400 MiB
// video made when the benchmark starts (never kept). Figures, each against its target:
//   BM_MagnetToMetadata   resolution of a magnet (metadata fetched from the peer)  <= 1.5 s
//   BM_FirstBytes         metadata known -> first 64 KiB served                     <= 100 ms
//   BM_StreamingAgainstPlain  the whole video served while it downloads, against a plain
//                         libtorrent session downloading the same torrent in the same run;
//                         ratio of throughputs                                     >= 0.8
//                         and the anonymous memory the service adds to the process
//                         meanwhile (anon_added_MB; anon_MB is the whole process, with
//                         the seeder and the plain sessions' leftovers)           <= 150 MB
//   BM_Shutdown           Stop() in the middle of a stream                         <= 2 s

#include <benchmark/benchmark.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

// Seconds to stream the whole video through the service: from the resolution request to
// the last byte read. `peakAnonymous` gets the highest anonymous memory of the process seen
// meanwhile, `addedAnonymous` its highest rise over what the process held before the
// service started (the seeder's and the plain downloads' share left out).
double StreamOnce(const Swarm& swarm, std::int64_t& peakAnonymous, std::int64_t& addedAnonymous) {
  const fs::path cache = swarm.root / "cache-stream";
  const std::int64_t before = AnonymousMemory();
  auto service = StartService(cache);
  std::atomic<bool> done{false};
  std::atomic<std::int64_t> peak{AnonymousMemory()};
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
  peakAnonymous = std::max<std::int64_t>(peakAnonymous, peak);
  addedAnonymous = std::max<std::int64_t>(addedAnonymous, peak - before);
  service.reset();
  fs::remove_all(cache);
  return got == kVideoBytes ? seconds : -1;
}

// Seconds for a plain libtorrent session to fetch the same torrent, the peer given the same
// way, from adding the magnet to the last piece. It has the service's transport settings
// (TCP out, 100 ms tick): with libtorrent's defaults it takes twenty times longer on
// loopback (outgoing uTP), which would say nothing about what streaming costs.
double PlainOnce(const Swarm& swarm) {
  const fs::path folder = swarm.root / "plain";
  lt::settings_pack settings = morvane::testing::LoopbackSessionSettings();
  settings.set_int(lt::settings_pack::alert_mask, lt::alert_category::status);
  settings.set_bool(lt::settings_pack::enable_outgoing_utp, false);
  settings.set_int(lt::settings_pack::tick_interval, 100);
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
  session.abort();
  fs::remove_all(folder);
  return finished ? seconds : -1;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Each iteration streams the video and downloads it plainly, in alternating order, so that
// both see the same load on a shared machine; the reported time is the streaming's, and
// "ratio" is the plain download's median time over the streaming's (its throughput over
// the plain one's).
void BM_StreamingAgainstPlain(benchmark::State& state) {
  Swarm& swarm = TheSwarm();
  std::vector<double> streamed, plain;
  std::int64_t peakAnonymous = 0, addedAnonymous = 0;
  // The seeder checks each piece the first time it sends it, and the source file's pages
  // come into memory: one download beforehand, so that neither side pays for that.
  PlainOnce(swarm);
  for (auto _ : state) {
    double streamSeconds, plainSeconds;
    if (streamed.size() % 2 == 0) {
      streamSeconds = StreamOnce(swarm, peakAnonymous, addedAnonymous);
      plainSeconds = PlainOnce(swarm);
    } else {
      plainSeconds = PlainOnce(swarm);
      streamSeconds = StreamOnce(swarm, peakAnonymous, addedAnonymous);
    }
    if (streamSeconds < 0 || plainSeconds < 0) {
      state.SkipWithError("a download did not complete");
      break;
    }
    streamed.push_back(streamSeconds);
    plain.push_back(plainSeconds);
    state.SetIterationTime(streamSeconds);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(streamed.size()) * kVideoBytes);
  state.counters["plain_MBps"] = static_cast<double>(kVideoBytes) / 1e6 / Median(plain);
  state.counters["stream_MBps"] = static_cast<double>(kVideoBytes) / 1e6 / Median(streamed);
  state.counters["ratio"] = Median(plain) / Median(streamed);
  state.counters["ratio_target"] = 0.8;
  state.counters["anon_MB"] = static_cast<double>(peakAnonymous) / 1e6;
  state.counters["anon_added_MB"] = static_cast<double>(addedAnonymous) / 1e6;
  state.counters["anon_target_MB"] = 150;
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
BENCHMARK(BM_StreamingAgainstPlain)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shutdown)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const fs::path root = TheSwarm().root;
  TheSwarm().seeder.reset();
  fs::remove_all(root);
  return 0;
}
