// The streaming service against a loopback swarm of one in-process seeder of a 400 MiB
// video made when the benchmark starts (never kept), 256 KiB pieces. Figures, each against
// its target:
//   BM_MagnetToMetadata   resolution of a magnet (metadata fetched from the peer)  <= 1.5 s
//   BM_FirstBytes         metadata known -> first 64 KiB served                     <= 100 ms
//   BM_SlowSwarm/RATE/HELD  a real H.264/AAC film of about 120 MB (index at the end, as
//                         found in the wild), the seeder held to RATE bytes a second (0:
//                         unheld), each run with a fresh service and cache, the media probe on.
//                         HELD 0: by its uplink (HeldLink: a link of that capacity, as a
//                         seeder on a slow line is), 1: by libtorrent's own rate limiter
//                         (which hands out its quota on its ticks and in whole requests, and
//                         so sends a fresh connection's first blocks 100 ms apart).
//                           first_s  resolution request -> first 64 KiB of the film
//                                    (<= 0.6 s at 1 MiB/s, <= 1.0 s at 512 KiB/s)
//                           seek_s   while a player reads from the start, a new request at
//                                    60 % -> its first 64 KiB (<= 0.5 s at 1 MiB/s,
//                                    <= 0.8 s at 512 KiB/s, <= 15 ms unheld); in this film
//                                    they span two pieces
//                           seek_byte_s  the same -> its first byte (one piece)
//                           play_share  what the player reading from the start gets in
//                                    the meantime, against the seeder's rate (held runs; the
//                                    first pieces were in before, so it may pass 1)
//                           swarm_share  what the seeder sends meanwhile, against its rate
//                         medians of the runs; one 256 KiB piece takes 0.25 s at 1 MiB/s.
//   BM_StreamingAgainstPlain  the whole video served while it downloads, against a plain
//                         libtorrent session downloading the same torrent in the same run;
//                         ratio of throughputs                                     >= 0.9
//                         and each side's CPU seconds (stream_cpu_s, plain_cpu_s)
//                         and the anonymous memory the service adds to the process
//                         meanwhile (anon_added_MB; anon_MB is the whole process, with
//                         the seeder and the plain sessions' leftovers)           <= 150 MB
//   BM_Shutdown           Stop() in the middle of a stream                         <= 2 s

#include <benchmark/benchmark.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
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
#include <sstream>
#include <string>
#include <thread>

#include "bench/LoopbackStream.h"
#include "stream/StreamService.h"
#include "tests/stream/RawHttp.h"
#include "tests/support/HeldLink.h"
#include "tests/support/Seeder.h"

namespace fs = std::filesystem;
namespace lt = libtorrent;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kVideoBytes = 400ll << 20;
constexpr int kPieceLength = 256 << 10;

using Swarm = morvane::bench::SeededSwarm;

// The swarms made so far, removed when the program ends.
std::vector<Swarm*>& MadeSwarms() {
  static std::vector<Swarm*> made;
  return made;
}

Swarm& TheSwarm() {
  static Swarm swarm = [] {
    Swarm s;
    s.root = morvane::bench::NewScratchRoot("morvane-bench-stream");
    s.seeder = std::make_unique<morvane::testing::Seeder>(
        s.root / "seed", "big.mp4", std::vector<morvane::testing::SeedFile>{{"big.mp4", kVideoBytes}},
        morvane::testing::SeederOptions{.pieceLength = kPieceLength});
    return s;
  }();
  static const bool listed = (MadeSwarms().push_back(&swarm), true);
  (void)listed;
  return swarm;
}

std::unique_ptr<morvane::stream::StreamService> StartService(const fs::path& cache) {
  return morvane::bench::StartLoopbackService(cache, /*convertMedia=*/false);
}

using morvane::testing::RawAnswer;

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

// CPU seconds this process has used so far, all its threads (the seeder's too).
double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
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
  std::vector<double> streamed, plain, streamCpu, plainCpu;
  std::int64_t peakAnonymous = 0, addedAnonymous = 0;
  const auto timed = [](auto run, std::vector<double>& cpu) {
    const double before = CpuSeconds();
    const double seconds = run();
    cpu.push_back(CpuSeconds() - before);
    return seconds;
  };
  const auto streamOnce = [&] { return StreamOnce(swarm, peakAnonymous, addedAnonymous); };
  const auto plainOnce = [&] { return PlainOnce(swarm); };
  // The seeder checks each piece the first time it sends it, and the source file's pages
  // come into memory: one download beforehand, so that neither side pays for that.
  PlainOnce(swarm);
  for (auto _ : state) {
    double streamSeconds, plainSeconds;
    if (streamed.size() % 2 == 0) {
      streamSeconds = timed(streamOnce, streamCpu);
      plainSeconds = timed(plainOnce, plainCpu);
    } else {
      plainSeconds = timed(plainOnce, plainCpu);
      streamSeconds = timed(streamOnce, streamCpu);
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
  state.counters["ratio_target"] = 0.9;
  // The whole process's CPU time (seeder included) per run, each side's: on a machine whose
  // cores are all busy, the throughputs' ratio follows these.
  state.counters["stream_cpu_s"] = Median(streamCpu);
  state.counters["plain_cpu_s"] = Median(plainCpu);
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


// The film of BM_SlowSwarm: ten seconds of a busy 720p picture and a tone, encoded once and
// looped without re-encoding into two minutes (about 120 MB), its index at the end.
Swarm& TheFilmSwarm() {
  static Swarm swarm = [] {
    Swarm s;
    s.root = morvane::bench::NewScratchRoot("morvane-bench-film");
    const fs::path clip = s.root / "clip.mp4";
    const fs::path film = s.root / "film.mp4";
    const std::string make =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i "
        "sine=frequency=440:sample_rate=48000 -t 10 -map 0:v -map 1:a -c:v libx264 -preset "
        "ultrafast -b:v 8M -g 50 -pix_fmt yuv420p -c:a aac " + clip.string() +
        " && ffmpeg -nostdin -v error -y -stream_loop 11 -i " + clip.string() + " -c copy " +
        film.string();
    if (std::system(make.c_str()) != 0) std::abort();
    std::ifstream in(film, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    s.seeder = std::make_unique<morvane::testing::Seeder>(
        s.root / "seed", "film.mp4",
        std::vector<morvane::testing::SeedFile>{{"film.mp4", 0, bytes.str()}},
        morvane::testing::SeederOptions{.pieceLength = kPieceLength});
    fs::remove(clip);
    fs::remove(film);
    return s;
  }();
  static const bool listed = (MadeSwarms().push_back(&swarm), true);
  (void)listed;
  return swarm;
}

// Reads an answer on `fd` until `bytes` of its body are in; false when it ends before.
// `firstByte` gets the time its first body byte came.
bool AwaitBody(int fd, std::int64_t bytes, Clock::time_point* firstByte = nullptr) {
  std::string head;
  std::int64_t body = -1;
  char buffer[1 << 16];
  while (body < bytes) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    if (body >= 0) {
      body += n;
    } else {
      head.append(buffer, static_cast<std::size_t>(n));
      if (const auto end = head.find("\r\n\r\n"); end != std::string::npos)
        body = static_cast<std::int64_t>(head.size() - end - 4);
    }
    if (firstByte && body > 0 && *firstByte == Clock::time_point()) *firstByte = Clock::now();
  }
  return true;
}

// One cold run: resolution -> first 64 KiB; a player reading on from the start; after
// `playing`, the player hangs up and asks for 60 % -> its first 64 KiB.
bool FilmRun(Swarm& swarm, const std::string& link, Clock::duration playing, double& first, double& seek,
             double& seekByte, double& playRate, double& swarmRate) {
  const fs::path cache = swarm.root / "cache-film";
  auto service = morvane::bench::StartLoopbackService(cache, /*convertMedia=*/true);
  const int port = service->Port();
  const auto started = Clock::now();
  const std::string path = morvane::bench::ResolvePath(port, link);
  bool ok = path.starts_with("/stream/");
  int player = ok ? morvane::testing::OpenRange(port, path, "0-") : -1;
  ok = ok && AwaitBody(player, 64 << 10);
  first = Seconds(Clock::now() - started);
  std::atomic<bool> reading{ok};
  std::atomic<std::int64_t> played{0};
  const auto playFrom = Clock::now();
  const std::int64_t sentBefore = swarm.seeder->Uploaded();
  std::thread drain([&] {
    char buffer[1 << 16];
    for (ssize_t n; reading && (n = ::recv(player, buffer, sizeof buffer, 0)) > 0;) played += n;
  });
  std::this_thread::sleep_for(playing);
  playRate = static_cast<double>(played) / Seconds(Clock::now() - playFrom);
  swarmRate = static_cast<double>(swarm.seeder->Uploaded() - sentBefore) / Seconds(Clock::now() - playFrom);
  reading = false;
  ::shutdown(player, SHUT_RDWR);
  drain.join();
  ::close(player);
  if (ok) {
    const RawAnswer head = morvane::testing::RawRequest(port, "HEAD", path);
    const std::int64_t size = std::stoll("0" + head.Header("Content-Length"));
    const auto seeking = Clock::now();
    const int fd = morvane::testing::OpenRange(port, path, std::to_string(size * 6 / 10) + "-");
    Clock::time_point firstByte;
    ok = size > 0 && AwaitBody(fd, 64 << 10, &firstByte);
    seek = Seconds(Clock::now() - seeking);
    seekByte = Seconds(firstByte - seeking);
    ::close(fd);
  }
  service.reset();
  fs::remove_all(cache);
  return ok;
}

void BM_SlowSwarm(benchmark::State& state) {
  Swarm& swarm = TheFilmSwarm();
  const int rate = static_cast<int>(state.range(0));
  const bool byLink = state.range(1) == 0;
  std::unique_ptr<morvane::testing::HeldLink> uplink;
  std::string link = swarm.seeder->MagnetLink();
  if (rate > 0 && byLink) {
    uplink = std::make_unique<morvane::testing::HeldLink>(swarm.seeder->Port(), rate);
    link = swarm.seeder->MagnetLink(false) + "&x.pe=127.0.0.1:" + std::to_string(uplink->Port());
  } else {
    swarm.seeder->SetUploadLimit(rate);
  }
  // Held, the player has read a second or two before it seeks, a tenth of a second longer
  // each run, so that the runs seek at different points of the piece coming in; unheld, the
  // whole film would be in after a second, and the seek would not wait for the swarm at all.
  const auto playing = [&](std::size_t run) {
    return rate > 0 ? std::chrono::milliseconds(1500 + 100 * static_cast<int>(run % 5))
                    : std::chrono::milliseconds(100);
  };
  std::vector<double> firsts, seeks, seekBytes, playShares, swarmShares;
  for (auto _ : state) {
    double first = 0, seek = 0, seekByte = 0, playRate = 0, swarmRate = 0;
    const std::int64_t sent = swarm.seeder->Uploaded(), carried = uplink ? uplink->Carried() : 0;
    if (!FilmRun(swarm, link, playing(firsts.size()), first, seek, seekByte, playRate, swarmRate)) {
      state.SkipWithError("a run did not complete");
      break;
    }
    // Everything the seeder sent went through its link (the service reached it nowhere else).
    if (uplink && swarm.seeder->Uploaded() - sent > uplink->Carried() - carried + (1 << 20)) {
      state.SkipWithError("the seeder was reached around its link");
      break;
    }
    firsts.push_back(first);
    seeks.push_back(seek);
    seekBytes.push_back(seekByte);
    if (rate > 0) playShares.push_back(playRate / rate);
    if (rate > 0) swarmShares.push_back(swarmRate / rate);
    state.SetIterationTime(first);
  }
  swarm.seeder->SetUploadLimit(0);
  state.counters["first_s"] = Median(firsts);
  state.counters["seek_s"] = Median(seeks);
  state.counters["seek_byte_s"] = Median(seekBytes);
  if (!playShares.empty()) state.counters["play_share"] = Median(playShares);
  if (!swarmShares.empty()) state.counters["swarm_share"] = Median(swarmShares);
  std::string each;
  for (std::size_t i = 0; i < firsts.size(); ++i)
    each += (i ? " " : "") + std::to_string(firsts[i]).substr(0, 5) + "/" + std::to_string(seeks[i]).substr(0, 5);
  state.SetLabel("first/seek: " + each);
}

BENCHMARK(BM_MagnetToMetadata)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstBytes)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamingAgainstPlain)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shutdown)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SlowSwarm)->Args({1 << 20, 0})->Args({512 << 10, 0})->Args({4 << 20, 0})->Args({0, 0})->Args({1 << 20, 1})->Args({512 << 10, 1})->UseManualTime()->Iterations(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (Swarm* swarm : MadeSwarms()) {
    swarm->seeder.reset();
    fs::remove_all(swarm->root);
  }
  return 0;
}
