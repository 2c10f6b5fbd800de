// Casting to a renderer on the local network: gmediarender (GStreamer into fake sinks that
// keep time) in one network namespace, the streaming service and the renderer control in
// another, joined by a veth pair; the film is a real H.264/AAC film of about 120 MB (index
// at the end, as found in the wild) seeded on the service's side behind a link held to
// 1 MiB/s (tests/support/HeldLink.h). Each run has a fresh service and cache, and the window's
// player has read the film's first and last MiB (as it has when the user casts what plays).
// The renderer reaches the service through a tap that notes when each of its requests gets
// its first byte of film.
//   BM_CastClick   the cast (SetAVTransportURI, Play) -> the renderer's first byte of film
//     click_s      median of the runs
//     plain_s      reference, same run: a plain HTTP client on the renderer's side asking
//                  the keyed address for the same film from its start
//     seek_s       while the renderer plays, a seek to 60 % -> the renderer's first byte at
//                  the new place (its request from there on)
//     plain_seek_s reference: a plain client's ranged request at the same byte, in a run of
//                  its own with the film played as far
// The figures are in the label too, as ratios against the references.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "bench/LoopbackStream.h"
#include "cast/CastSession.h"
#include "cast/Renderers.h"
#include "stream/StreamService.h"
#include "tests/stream/RawHttp.h"
#include "tests/support/HeldLink.h"
#include "tests/support/NamespacePair.h"
#include "tests/support/Seeder.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kKey[] = "bench0123456789abcdef0123456789a";
constexpr char kRendererName[] = "Morvane Bench Renderer";
constexpr int kHeldRate = 1 << 20;
constexpr int kPieceLength = 256 << 10;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int Listen(const std::string& address) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 16) != 0) std::abort();
  return fd;
}

int Connect(const std::string& address, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int PortOf(int fd) {
  sockaddr_in at{};
  socklen_t length = sizeof at;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
  return ntohs(at.sin_port);
}

// Passes the renderer's connections on to the service and notes, for each, when it was
// opened, the byte its Range asked for, and when its first byte of body came back.
class Tap {
 public:
  struct Request {
    Clock::time_point opened;
    long long from = 0;
    Clock::time_point firstBody;
  };

  Tap(const std::string& address, int targetPort) : address_(address), target_(targetPort) {
    listener_ = Listen(address);
    thread_ = std::thread([this] { Accept(); });
  }
  ~Tap() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
    for (std::thread& pump : pumps_) pump.join();
  }
  int Port() const { return PortOf(listener_); }

  // The first request opened at or after `since` that has its first body byte; the time
  // from `since` to it, or nothing.
  std::optional<double> FirstBodyAfter(Clock::time_point since, long long from = -1) {
    std::lock_guard lock(mutex_);
    for (const auto& request : requests_)
      if (request->opened >= since && request->firstBody != Clock::time_point() &&
          (from < 0 || request->from >= from))
        return Seconds(request->firstBody - since);
    return std::nullopt;
  }

 private:
  void Accept() {
    for (;;) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0 || stopping_) {
        if (client >= 0) ::close(client);
        return;
      }
      auto request = std::make_shared<Request>();
      request->opened = Clock::now();
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      const int server = Connect(address_, target_);
      pumps_.emplace_back([this, client, server, request] { Pump(client, server, *request); });
    }
  }

  void Pump(int client, int server, Request& request) {
    std::string head, answerHead;
    bool bodyStarted = false;
    char buffer[1 << 16];
    pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    while (server >= 0 && !stopping_) {
      if (::poll(both, 2, 200) <= 0) continue;
      if (both[0].revents) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        if (head.size() < 8192) {
          head.append(buffer, static_cast<std::size_t>(n));
          const auto range = head.find("Range: bytes=");
          if (range != std::string::npos) {
            std::lock_guard lock(mutex_);
            request.from = std::atoll(head.c_str() + range + 13);
          }
        }
        if (::send(server, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
      }
      if (both[1].revents) {
        const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        if (!bodyStarted) {
          answerHead.append(buffer, static_cast<std::size_t>(n));
          const auto end = answerHead.find("\r\n\r\n");
          if (end != std::string::npos && answerHead.size() > end + 4) {
            bodyStarted = true;
            std::lock_guard lock(mutex_);
            request.firstBody = Clock::now();
          }
        }
        if (::send(client, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
      }
    }
    ::close(client);
    if (server >= 0) ::close(server);
  }

  std::string address_;
  int target_;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::vector<std::thread> pumps_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<Request>> requests_;
};

// A plain client's ranged request from `from` on the keyed listener: seconds to its first
// body byte.
double PlainFirstByte(const std::string& address, int port, const std::string& path, long long from) {
  const auto start = Clock::now();
  const int fd = Connect(address, port);
  if (fd < 0) return -1;
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + address + "\r\nRange: bytes=" +
                              std::to_string(from) + "-\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string head;
  char buffer[1 << 16];
  double seconds = -1;
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
    const auto end = head.find("\r\n\r\n");
    if (end != std::string::npos && head.size() > end + 4) {
      seconds = Seconds(Clock::now() - start);
      break;
    }
  }
  ::close(fd);
  return seconds;
}

// Reads `count` bytes from `from` through the loopback address, as the window's player does.
void Played(int port, const std::string& path, long long from, long long count) {
  const int fd = morvane::testing::OpenRange(port, path, std::to_string(from) + "-" + std::to_string(from + count - 1));
  char buffer[1 << 16];
  while (fd >= 0 && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
  }
  if (fd >= 0) ::close(fd);
}

struct Bench {
  morvane::testing::NamespacePair pair;
  fs::path root;
  std::unique_ptr<morvane::testing::Seeder> seeder;
  std::unique_ptr<morvane::testing::HeldLink> uplink;
  std::unique_ptr<morvane::cast::Renderers> renderers;
  std::string rendererId;
  std::string why;

  Bench() {
    if (!pair.Ok()) {
      why = pair.Why();
      return;
    }
    root = morvane::bench::NewScratchRoot("morvane-bench-cast");
    const fs::path clip = root / "clip.mp4";
    const fs::path film = root / "film.mp4";
    const std::string make =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i "
        "sine=frequency=440:sample_rate=48000 -t 10 -map 0:v -map 1:a -c:v libx264 -preset "
        "ultrafast -b:v 8M -g 50 -pix_fmt yuv420p -c:a aac " + clip.string() +
        " && ffmpeg -nostdin -v error -y -stream_loop 11 -i " + clip.string() + " -c copy " + film.string();
    if (std::system(make.c_str()) != 0) std::abort();
    pair.Spawn(1,
               {"gmediarender", "--interface-name", pair.Interface(1), "--friendly-name", kRendererName,
                "--uuid", "a1b2c3d4-0000-4000-8000-000000000bec", "--gstout-videopipe", "fakesink sync=true",
                "--gstout-audiopipe", "fakesink sync=true"},
               (root / "gmediarender.log").string());
    if (!pair.Enter(0)) std::abort();
    std::ifstream in(film, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    seeder = std::make_unique<morvane::testing::Seeder>(
        root / "seed", "film.mp4", std::vector<morvane::testing::SeedFile>{{"film.mp4", 0, bytes.str()}},
        morvane::testing::SeederOptions{.pieceLength = kPieceLength});
    fs::remove(clip);
    fs::remove(film);
    uplink = std::make_unique<morvane::testing::HeldLink>(seeder->Port(), kHeldRate);
    renderers = std::make_unique<morvane::cast::Renderers>();
    const auto until = Clock::now() + 10s;
    while (rendererId.empty() && Clock::now() < until) {
      for (const auto& renderer : renderers->Known())
        if (renderer.name == kRendererName) rendererId = renderer.id;
      std::this_thread::sleep_for(100ms);
    }
    if (rendererId.empty()) why = "the renderer was not found";
  }
  ~Bench() {
    renderers.reset();
    uplink.reset();
    seeder.reset();
    pair.Leave();
    if (!root.empty()) fs::remove_all(root);
  }

  std::string Link() const {
    return seeder->MagnetLink(false) + "&x.pe=127.0.0.1:" + std::to_string(uplink->Port());
  }

  std::unique_ptr<morvane::stream::StreamService> Service(const fs::path& cache) {
    morvane::stream::StreamOptions options;
    options.cacheDir = cache.string();
    options.dht = false;
    options.localPeerDiscovery = false;
    options.peerInterfaces = "127.0.0.1:0";
    options.accessKey = kKey;
    auto service = std::make_unique<morvane::stream::StreamService>(options);
    if (!service->Start()) std::abort();
    return service;
  }
};

Bench& TheBench() {
  static Bench bench;
  return bench;
}

// A fresh service with the film resolved and its first and last MiB read, as the window's
// player leaves it; the film's path (key included) and size.
struct Playing {
  std::unique_ptr<morvane::stream::StreamService> service;
  std::string path;
  long long size = 0;
};

Playing StartPlaying(Bench& bench, const fs::path& cache) {
  Playing playing;
  playing.service = bench.Service(cache);
  const int port = playing.service->Port();
  const std::string key = std::string("/") + kKey;
  const std::string file =
      morvane::testing::FileOf(morvane::testing::RawGet(port, key + "/xml.php?url=" + bench.Link()).body);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  if (!file.starts_with(base + key + "/stream/")) return playing;
  playing.path = file.substr(base.size());
  playing.size = std::atoll(morvane::testing::RawRequest(port, "HEAD", playing.path).Header("Content-Length").c_str());
  Played(port, playing.path, 0, 1 << 20);
  Played(port, playing.path, playing.size - (1 << 20), 1 << 20);
  return playing;
}

void BM_CastClick(benchmark::State& state) {
  Bench& bench = TheBench();
  if (!bench.why.empty()) {
    state.SkipWithError(bench.why.c_str());
    return;
  }
  std::vector<double> clicks, plains, seeks, plainSeeks;
  int run = 0;
  for (auto _ : state) {
    const fs::path cache = bench.root / ("cache-" + std::to_string(run++));
    // The reference: a plain client on the keyed address, from the start and later at 60 %.
    {
      Playing playing = StartPlaying(bench, cache);
      if (playing.path.empty()) {
        state.SkipWithError("the film did not resolve");
        break;
      }
      const std::string listener = playing.service->OpenKeyedListener(bench.pair.Address(0));
      const int port = std::atoi(listener.substr(listener.rfind(':') + 1).c_str());  // ":PORT/KEY"
      plains.push_back(PlainFirstByte(bench.pair.Address(0), port, playing.path, 0));
      std::this_thread::sleep_for(3s);  // the renderer plays this long before it seeks
      plainSeeks.push_back(PlainFirstByte(bench.pair.Address(0), port, playing.path, playing.size * 6 / 10));
      playing.service.reset();
      fs::remove_all(cache);
    }
    Playing playing = StartPlaying(bench, cache);
    std::unique_ptr<Tap> tap;
    morvane::cast::CastSession session(*bench.renderers, bench.rendererId, [&](const morvane::cast::Renderer& r) {
      const std::string listener = playing.service->OpenKeyedListener(r.localAddress);
      tap = std::make_unique<Tap>(r.localAddress, std::atoi(listener.substr(listener.rfind(':') + 1).c_str()));  // ":PORT/KEY"
      return "http://" + r.localAddress + ":" + std::to_string(tap->Port()) + "/" + kKey;
    });
    const std::string address = "http://127.0.0.1:" + std::to_string(playing.service->Port()) + playing.path;
    const auto clicked = Clock::now();
    const auto cast = session.Start({address, "Bench film", -1, -1, 0});
    std::optional<double> click;
    for (const auto until = Clock::now() + 30s; cast.ok && !click && Clock::now() < until;) {
      std::this_thread::sleep_for(20ms);
      click = tap->FirstBodyAfter(clicked);
    }
    std::this_thread::sleep_for(3s);
    const auto seeking = Clock::now();
    const bool sought = session.Seek(0.6 * 120).ok;
    std::optional<double> seek;
    for (const auto until = Clock::now() + 30s; sought && !seek && Clock::now() < until;) {
      std::this_thread::sleep_for(20ms);
      seek = tap->FirstBodyAfter(seeking, playing.size / 2);
    }
    session.Stop();
    tap.reset();
    playing.service.reset();
    fs::remove_all(cache);
    if (!click || !seek) {
      state.SkipWithError(cast.ok ? "the renderer did not read the film" : cast.error.c_str());
      break;
    }
    clicks.push_back(*click);
    seeks.push_back(*seek);
    state.SetIterationTime(*click);
  }
  const double click = Median(clicks), plain = Median(plains), seek = Median(seeks),
               plainSeek = Median(plainSeeks);
  state.counters["click_s"] = click;
  state.counters["plain_s"] = plain;
  state.counters["seek_s"] = seek;
  state.counters["plain_seek_s"] = plainSeek;
  char label[160];
  std::snprintf(label, sizeof label, "click/plain %.1fx, seek/plain %.1fx",
                plain > 0 ? click / plain : 0.0, plainSeek > 0 ? seek / plainSeek : 0.0);
  state.SetLabel(label);
}

BENCHMARK(BM_CastClick)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
