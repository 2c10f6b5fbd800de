// Who gets the line: the streaming service's rate limits and its idle torrents, on a
// loopback swarm of two in-process seeders, each of a 120 MiB film (64 KiB pieces). Three
// parts, each against a reference measured in the same run:
//
//   idle     How a torrent nobody watches best stops downloading, on a plain libtorrent
//            session with the service's settings, its seeder held to 1 MiB/s: paused;
//            paused in upload mode (and resumed leaving it, which makes libtorrent call its
//            peers again at once); every piece at priority 0; upload mode. For each: bytes
//            still downloaded in the idle time after its first second (want 0), peers kept
//            after 12 s of idling, and, when a reader comes back for a piece at 60 %, the
//            time to that piece and the bytes of the next 2 s against the 2 s before idling.
//   limits   --max-download 2M with two films played at once, 4M with one (the bytes the
//            service downloaded by its own count), --max-upload 1M to a leecher that has only
//            the service as a peer (the bytes it received): consecutive 5 s windows, against
//            the limit (want within 10 %); for reference, without limits, both films
//            from resolution to their last byte, and the upload's first second.
//   handoff  --max-download 2M, films A and B played at once; A's player leaves, and once A
//            turns idle, B's rate as its status says (over the last two seconds) each second
//            after (want >= 90 % of the limit within 5 s); for reference A never idling.
//
// Usage: bench_bandwidth [idle|limits|handoff]... [--repeat N] (default: all, 3 repeats).

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/LoopbackStream.h"
#include "stream/ServiceSettings.h"
#include "stream/SessionSettings.h"
#include "stream/StreamService.h"
#include "tests/stream/RawHttp.h"
#include "tests/support/Seeder.h"

namespace fs = std::filesystem;
namespace lt = libtorrent;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kFilmBytes = 120ll << 20;
constexpr int kPieceLength = 64 << 10;
constexpr double kMiB = 1 << 20;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The two films and their seeders, made once for the whole run.
struct Films {
  fs::path root = morvane::bench::NewScratchRoot("morvane-bench-bandwidth");
  std::unique_ptr<morvane::testing::Seeder> a, b;

  Films() {
    const morvane::testing::SeederOptions options{.pieceLength = kPieceLength};
    a = std::make_unique<morvane::testing::Seeder>(
        root / "seed-a", "a.mp4", std::vector<morvane::testing::SeedFile>{{"a.mp4", kFilmBytes}}, options);
    b = std::make_unique<morvane::testing::Seeder>(
        root / "seed-b", "b.mp4", std::vector<morvane::testing::SeedFile>{{"b.mp4", kFilmBytes}}, options);
  }
  ~Films() {
    a.reset();
    b.reset();
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

// ---------------------------------------------------------------------------------------
// idle

enum class Mechanism { kPause, kPauseInUploadMode, kPriorityZero, kUploadMode };

const char* NameOf(Mechanism m) {
  switch (m) {
    case Mechanism::kPause: return "paused";
    case Mechanism::kPauseInUploadMode: return "paused+upl.";
    case Mechanism::kPriorityZero: return "priority 0";
    case Mechanism::kUploadMode: return "upload mode";
  }
  return "";
}

struct IdleFigures {
  double idleBytes = 0;       // downloaded from 1 s into the idle time to its end
  double peersBefore = 0, peersAfter = 0;
  double resumeSeconds = -1;  // reader back -> its piece in
  double bytesBefore = 0;     // in the 2 s before idling
  double bytesAfter = 0;      // in the 2 s after the reader came back
};

IdleFigures MeasureIdle(Films& films, Mechanism mechanism, int run) {
  morvane::stream::StreamOptions options;
  options.dht = false;
  options.localPeerDiscovery = false;
  options.peerInterfaces = "127.0.0.1:0";
  lt::settings_pack settings = morvane::stream::SessionSettings(options);
  settings.set_int(lt::settings_pack::alert_mask, lt::alert_category::piece_progress);
  lt::session session{lt::session_params(settings)};

  const fs::path folder = films.root / ("idle-" + std::to_string(run));
  lt::add_torrent_params params;
  const std::vector<char>& bytes = films.a->TorrentBytes();
  params.ti = std::make_shared<lt::torrent_info>(bytes, lt::from_span);
  params.save_path = folder.string();
  params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
  const int pieces = params.ti->num_pieces();
  lt::torrent_handle handle = session.add_torrent(std::move(params));
  // As the service names a link's peers.
  handle.connect_peer({lt::make_address("127.0.0.1"), static_cast<std::uint16_t>(films.a->Port())},
                      lt::peer_info::resume_data, lt::pex_flags_t{});

  const auto downloaded = [&] { return static_cast<double>(handle.status({}).total_payload_download); };
  std::this_thread::sleep_for(4s);
  IdleFigures figures;
  const double beforeStart = downloaded();
  std::this_thread::sleep_for(2s);
  figures.bytesBefore = downloaded() - beforeStart;
  figures.peersBefore = handle.status({}).num_peers;

  std::vector<lt::download_priority_t> none(static_cast<std::size_t>(pieces), lt::dont_download);
  std::vector<lt::download_priority_t> all(static_cast<std::size_t>(pieces), lt::default_priority);
  switch (mechanism) {
    case Mechanism::kPause: handle.pause(); break;
    case Mechanism::kPauseInUploadMode:
      handle.set_flags(lt::torrent_flags::upload_mode);
      handle.pause();
      break;
    case Mechanism::kPriorityZero: handle.prioritize_pieces(none); break;
    case Mechanism::kUploadMode: handle.set_flags(lt::torrent_flags::upload_mode); break;
  }
  std::this_thread::sleep_for(1s);
  // Paused, libtorrent starts its counts again: the difference is taken within the idle time.
  const double idleStart = downloaded();
  std::this_thread::sleep_for(11s);
  figures.idleBytes = downloaded() - idleStart;
  figures.peersAfter = handle.status({}).num_peers;

  // The reader comes back for the first missing piece from 60 % on.
  const lt::torrent_status held = handle.status(lt::torrent_handle::query_pieces);
  int wanted = pieces * 6 / 10;
  while (wanted < pieces - 1 && held.pieces.get_bit(lt::piece_index_t{wanted})) ++wanted;
  std::vector<lt::alert*> alerts;
  session.pop_alerts(&alerts);
  const auto back = Clock::now();
  switch (mechanism) {
    case Mechanism::kPause: handle.resume(); break;
    case Mechanism::kPauseInUploadMode:
      handle.resume();
      handle.unset_flags(lt::torrent_flags::upload_mode);
      break;
    case Mechanism::kPriorityZero: handle.prioritize_pieces(all); break;
    case Mechanism::kUploadMode: handle.unset_flags(lt::torrent_flags::upload_mode); break;
  }
  handle.set_piece_deadline(lt::piece_index_t{wanted}, 0);
  const double afterStart = downloaded();
  while (figures.resumeSeconds < 0 && Clock::now() - back < 20s) {
    session.wait_for_alert(100ms);
    session.pop_alerts(&alerts);
    for (lt::alert* alert : alerts)
      if (const auto* piece = lt::alert_cast<lt::piece_finished_alert>(alert))
        if (static_cast<int>(piece->piece_index) == wanted) figures.resumeSeconds = Seconds(Clock::now() - back);
  }
  std::this_thread::sleep_until(back + 2s);
  figures.bytesAfter = downloaded() - afterStart;
  session.abort();
  std::error_code ec;
  fs::remove_all(folder, ec);
  return figures;
}

void RunIdle(Films& films, int repeats) {
  std::printf("\n== idle: how a torrent nobody watches stops (seeder held to 1 MiB/s)\n");
  films.a->SetUploadLimit(1 << 20);
  const Mechanism mechanisms[] = {Mechanism::kPause, Mechanism::kPauseInUploadMode, Mechanism::kPriorityZero,
                                  Mechanism::kUploadMode};
  constexpr int kCount = std::size(mechanisms);
  std::vector<IdleFigures> runs[kCount];
  int run = 0;
  for (int r = 0; r < repeats; ++r)
    for (int i = 0; i < kCount; ++i) {
      const int m = (i + r) % kCount;  // a different order each round: all see the same load
      runs[m].push_back(MeasureIdle(films, mechanisms[m], run++));
    }
  films.a->SetUploadLimit(0);
  std::printf("%-12s %14s %12s %12s %14s %16s\n", "mechanism", "idle bytes", "peers kept", "resume s",
              "2 s before MiB", "2 s after MiB");
  for (int m = 0; m < kCount; ++m) {
    std::vector<double> idle, kept, resume, before, after;
    for (const IdleFigures& f : runs[m]) {
      idle.push_back(f.idleBytes);
      kept.push_back(f.peersAfter);
      resume.push_back(f.resumeSeconds);
      before.push_back(f.bytesBefore / kMiB);
      after.push_back(f.bytesAfter / kMiB);
    }
    std::printf("%-12s %14.0f %12.0f %12.3f %14.2f %16.2f   (medians of %zu; resume s:", NameOf(mechanisms[m]),
                Median(idle), Median(kept), Median(resume), Median(before), Median(after), runs[m].size());
    for (const double each : resume) std::printf(" %.3f", each);
    std::printf(")\n");
  }
}

// ---------------------------------------------------------------------------------------
// The service

// A player reading a stream's whole video until told to stop.
class Player {
 public:
  Player(int port, const std::string& path) : thread_([this, port, path] { Run(port, path); }) {}
  ~Player() { Stop(); }
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run(int port, const std::string& path) {
    const int fd = morvane::testing::ConnectLoopback(port);
    if (fd < 0) return;
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::vector<char> buffer(1 << 16);
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      if (::recv(fd, buffer.data(), buffer.size(), 0) <= 0) break;
    }
    ::close(fd);
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A number or a word of the stream's status; -1 or "" when it has none.
struct Status {
  std::string body;
  double Number(const std::string& key) const {
    const auto at = body.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::stod(body.substr(at + key.size() + 3));
  }
  std::string Word(const std::string& key) const {
    const auto at = body.find("\"" + key + "\":\"");
    if (at == std::string::npos) return {};
    const auto from = at + key.size() + 4;
    return body.substr(from, body.find('"', from) - from);
  }
};

Status StatusOf(int port, const std::string& hash) {
  return {morvane::testing::RawGet(port, "/status/" + hash).body};
}

struct Service {
  fs::path cache;
  std::unique_ptr<morvane::stream::StreamService> service;
  int Port() const { return service->Port(); }
};

// A service with a fresh cache and the settings given by name, as on the command line.
Service StartService(const Films& films, const std::string& name,
                     const std::vector<std::pair<std::string, std::string>>& settings) {
  Service s;
  s.cache = films.root / ("cache-" + name);
  morvane::stream::StreamOptions options;
  options.cacheDir = s.cache.string();
  options.dht = false;
  options.localPeerDiscovery = false;
  options.peerInterfaces = "127.0.0.1:0";
  options.convertMedia = false;
  for (const auto& [key, value] : settings)
    if (morvane::stream::ApplyServiceSetting(options, key, value) != morvane::stream::SettingOutcome::kTaken)
      std::abort();
  s.service = std::make_unique<morvane::stream::StreamService>(options);
  if (!s.service->Start()) std::abort();
  return s;
}

void StopService(Service& s) {
  s.service.reset();
  std::error_code ec;
  fs::remove_all(s.cache, ec);
}

// Bytes a second the service downloaded of the streams (the payload the limit holds, by
// its own count), over `windows` consecutive windows of about `window` after `settle` to
// let the rates find their level. The service's all-time count moves once a second, with
// what came in that second: a window from one move to another counts whole seconds (one
// cut by the clock instead is off by up to a second's bytes, a fifth of a 5 s window).
std::vector<double> DownloadRates(int port, const std::vector<std::string>& hashes, Clock::duration settle,
                                  Clock::duration window, int windows) {
  const auto total = [&] {
    double sum = 0;
    for (const std::string& hash : hashes) sum += std::max(0.0, StatusOf(port, hash).Number("downloaded"));
    return sum;
  };
  // The count and the time of its next move (none within 3 s: where it stands then).
  const auto nextMove = [&](double from) {
    const auto limit = Clock::now() + 3s;
    double now = total();
    while (now == from && Clock::now() < limit) {
      std::this_thread::sleep_for(10ms);
      now = total();
    }
    return std::pair{now, Clock::now()};
  };
  std::this_thread::sleep_for(settle);
  std::vector<double> rates;
  auto [before, start] = nextMove(total());
  for (int w = 0; w < windows; ++w) {
    std::this_thread::sleep_until(start + window - 500ms);
    const auto [after, end] = nextMove(total());
    rates.push_back((after - before) / Seconds(end - start));
    before = after;
    start = end;
  }
  return rates;
}

// Bytes a second the service uploads to a leecher that knows no other peer (no tracker,
// no peer exchange), over consecutive 5 s windows; the film is played whole first.
std::vector<double> UploadRates(Films& films, const std::vector<std::pair<std::string, std::string>>& settings,
                                const std::string& name, Clock::duration settle, Clock::duration window,
                                int windows) {
  Service s = StartService(films, name, settings);
  const std::string path = morvane::bench::ResolvePath(s.Port(), films.b->MagnetLink());
  if (morvane::testing::RawGet(s.Port(), path).body.size() != static_cast<std::size_t>(kFilmBytes)) std::abort();

  lt::settings_pack pack = morvane::testing::LoopbackSessionSettings();
  // Another loopback address: the service's torrent keeps one peer for each address, and
  // the seeder has 127.0.0.1.
  pack.set_str(lt::settings_pack::listen_interfaces, "127.0.0.2:0");
  pack.set_bool(lt::settings_pack::enable_outgoing_utp, false);
  lt::session leecher{lt::session_params(pack, {})};  // no extensions: no peer exchange
  const fs::path folder = films.root / ("leech-" + name);
  lt::add_torrent_params params;
  params.ti = std::make_shared<lt::torrent_info>(films.b->TorrentBytes(), lt::from_span);
  params.save_path = folder.string();
  params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
  lt::torrent_handle handle = leecher.add_torrent(std::move(params));
  while (leecher.listen_port() == 0) std::this_thread::sleep_for(5ms);
  // Named to the service by a resolution of the same film, which connects it.
  morvane::bench::ResolvePath(s.Port(), films.b->MagnetLink(false) + "&x.pe=127.0.0.2:" +
                                            std::to_string(leecher.listen_port()));
  const auto received = [&] { return static_cast<double>(handle.status({}).total_payload_download); };
  const auto start = Clock::now();
  while (received() == 0 && Clock::now() - start < 10s) std::this_thread::sleep_for(20ms);
  // The limiter lets out quota saved while nothing flowed at once: the windows start once
  // the rate has found its level, as for the downloads.
  std::this_thread::sleep_for(settle);
  std::vector<double> rates;
  double before = received();
  auto from = Clock::now();
  for (int w = 0; w < windows; ++w) {
    while (Clock::now() - from < window && received() < static_cast<double>(kFilmBytes))
      std::this_thread::sleep_for(20ms);
    const double after = received();
    const auto end = Clock::now();
    rates.push_back((after - before) / Seconds(end - from));
    before = after;
    from = end;
  }
  leecher.abort();
  StopService(s);
  std::error_code ec;
  fs::remove_all(folder, ec);
  return rates;
}

void RunLimits(Films& films, int repeats) {
  std::printf("\n== limits: bytes a second in consecutive 5 s windows, against the limit\n");
  constexpr int kWindows = 4;
  struct Figure {
    const char* what;
    double limit;  // 0: the reference, no limit
    std::vector<double> rates;  // every window of every run
  };
  Figure download2{"download, 2 films, --max-download 2M", 2 * kMiB, {}};
  Figure download4{"download, 1 film, --max-download 4M", 4 * kMiB, {}};
  Figure downloadFree{"download, 2 films, no limit (whole)", 0, {}};
  Figure upload1{"upload, --max-upload 1M", 1 * kMiB, {}};
  Figure uploadFree{"upload, no limit (first s)", 0, {}};
  const auto add = [](Figure& f, const std::vector<double>& rates) { f.rates.insert(f.rates.end(), rates.begin(), rates.end()); };
  for (int r = 0; r < repeats; ++r) {
    {
      Service s = StartService(films, "limit2", {{"max-download", "2M"}});
      Player a(s.Port(), morvane::bench::ResolvePath(s.Port(), films.a->MagnetLink()));
      Player b(s.Port(), morvane::bench::ResolvePath(s.Port(), films.b->MagnetLink()));
      add(download2, DownloadRates(s.Port(), {films.a->InfoHashHex(), films.b->InfoHashHex()}, 3s, 5s, kWindows));
      a.Stop();
      b.Stop();
      StopService(s);
    }
    {
      Service s = StartService(films, "limit4", {{"max-download", "4M"}});
      Player a(s.Port(), morvane::bench::ResolvePath(s.Port(), films.a->MagnetLink()));
      add(download4, DownloadRates(s.Port(), {films.a->InfoHashHex()}, 3s, 5s, kWindows));
      a.Stop();
      StopService(s);
    }
    {
      Service s = StartService(films, "free", {});
      // Unheld, loopback fetches both films in a second or two, sooner than a window can
      // settle: their bytes over the time from the first resolution to the last byte.
      const auto start = Clock::now();
      Player a(s.Port(), morvane::bench::ResolvePath(s.Port(), films.a->MagnetLink()));
      Player b(s.Port(), morvane::bench::ResolvePath(s.Port(), films.b->MagnetLink()));
      const auto whole = [&](const morvane::testing::Seeder& seeder) {
        return StatusOf(s.Port(), seeder.InfoHashHex()).Number("bytesVerified") >= static_cast<double>(kFilmBytes);
      };
      while (!(whole(*films.a) && whole(*films.b)) && Clock::now() - start < 60s) std::this_thread::sleep_for(10ms);
      add(downloadFree, {2 * static_cast<double>(kFilmBytes) / Seconds(Clock::now() - start)});
      a.Stop();
      b.Stop();
      StopService(s);
    }
    add(upload1, UploadRates(films, {{"max-upload", "1M"}}, "up1", 3s, 5s, kWindows));
    // Unheld, the leecher has the film in a few seconds: its first second.
    add(uploadFree, UploadRates(films, {}, "upfree", 0s, 1s, 1));
  }
  for (const Figure* f : {&download2, &download4, &downloadFree, &upload1, &uploadFree}) {
    double sum = 0;
    for (const double rate : f->rates) sum += rate;
    const double mean = f->rates.empty() ? 0 : sum / static_cast<double>(f->rates.size());
    std::printf("%-40s mean %7.2f MiB/s", f->what, mean / kMiB);
    if (f->limit > 0) {
      int within = 0;
      for (const double rate : f->rates) within += std::abs(rate / f->limit - 1) <= 0.1;
      std::printf("  %.3f of the limit; windows %.3f-%.3f, %d of %zu within 10 %%", mean / f->limit,
                  *std::min_element(f->rates.begin(), f->rates.end()) / f->limit,
                  *std::max_element(f->rates.begin(), f->rates.end()) / f->limit, within, f->rates.size());
    } else {
      std::printf("  runs:");
      for (const double rate : f->rates) std::printf(" %.1f", rate / kMiB);
    }
    std::printf("\n");
  }
}

// ---------------------------------------------------------------------------------------
// handoff

struct Handoff {
  std::vector<double> perSecond;  // B's rate as its status says, each second after A turned idle, MiB/s
  double before = 0;              // B's rate when A's player left, MiB/s
  double turnedIdle = -1;         // seconds from A's player leaving to A's idle state
};

Handoff MeasureHandoff(Films& films, bool idling, int run) {
  Service s = StartService(films, "handoff-" + std::to_string(run),
                           {{"max-download", "2M"}, {"idle-after", idling ? "10s" : "24h"}});
  const std::string hashA = films.a->InfoHashHex(), hashB = films.b->InfoHashHex();
  auto a = std::make_unique<Player>(s.Port(), morvane::bench::ResolvePath(s.Port(), films.a->MagnetLink()));
  Player b(s.Port(), morvane::bench::ResolvePath(s.Port(), films.b->MagnetLink()));
  std::this_thread::sleep_for(5s);
  Handoff h;
  h.before = StatusOf(s.Port(), hashB).Number("downloadRate") / kMiB;
  a.reset();
  const auto left = Clock::now();
  // Without idling, A "turns idle" where it would have: the same time after its player left.
  while (idling ? StatusOf(s.Port(), hashA).Word("state") != "idle" : Clock::now() - left < 10s) {
    if (Clock::now() - left > 30s) std::abort();
    std::this_thread::sleep_for(50ms);
  }
  const auto idle = Clock::now();
  h.turnedIdle = Seconds(idle - left);
  for (int second = 1; second <= 8; ++second) {
    std::this_thread::sleep_until(idle + std::chrono::seconds(second));
    h.perSecond.push_back(StatusOf(s.Port(), hashB).Number("downloadRate") / kMiB);
  }
  StopService(s);
  return h;
}

void RunHandoff(Films& films, int repeats) {
  std::printf("\n== handoff: --max-download 2M, A's player leaves; B's rate after A turns idle\n");
  std::vector<Handoff> idling, reference;
  for (int r = 0; r < repeats; ++r) {
    idling.push_back(MeasureHandoff(films, true, 2 * r));
    reference.push_back(MeasureHandoff(films, false, 2 * r + 1));
  }
  const auto print = [](const char* what, const std::vector<Handoff>& runs) {
    std::printf("%s\n", what);
    for (const Handoff& h : runs) {
      std::printf("  before %.2f MiB/s, idle after %.1f s; then each second:", h.before, h.turnedIdle);
      // The status's rate spans the last two seconds: it lags the line by about one.
      int reached = 0;
      for (std::size_t i = 0; i < h.perSecond.size(); ++i) {
        std::printf(" %.2f", h.perSecond[i]);
        if (!reached && h.perSecond[i] >= 0.9 * 2) reached = static_cast<int>(i) + 1;
      }
      if (reached)
        std::printf("   >= 90 %% of the limit by second %d%s\n", reached, reached <= 5 ? "" : " (late)");
      else
        std::printf("   never >= 90 %% of the limit\n");
    }
  };
  print("A idles after 10 s (the default):", idling);
  print("reference, A never idles (today's behaviour):", reference);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> parts;
  int repeats = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--repeat" && i + 1 < argc) {
      repeats = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "idle" || arg == "limits" || arg == "handoff") {
      parts.push_back(arg);
    } else {
      std::fprintf(stderr, "usage: bench_bandwidth [idle|limits|handoff]... [--repeat N]\n");
      return 2;
    }
  }
  if (parts.empty()) parts = {"idle", "limits", "handoff"};
  Films films;
  for (const std::string& part : parts) {
    if (part == "idle") RunIdle(films, repeats);
    if (part == "limits") RunLimits(films, repeats);
    if (part == "handoff") RunHandoff(films, repeats);
  }
  return 0;
}
