// The streaming service among hostile clients, run as a home server runs it (morvane-stream
// in a process of its own on loopback, its cache in a scratch folder). For each flood from
// one client (127.0.0.2) another client (127.0.0.1) asks /status every 100 ms for 5 s:
//   - none (the reference, measured in the same run);
//   - 100 request heads that never end;
//   - 16 .torrent addresses whose bodies drip a byte a second;
//   - 1,000 magnets nobody seeds;
//   - 48 file lists of a torrent of 100,001 files, none of them read;
// and the figures are how many of its 50 pings were answered, the slowest, and the most memory
// the service held. Then the
// window's own resolution (with the key, from 127.0.0.1 as every local client) of an ftp link,
// answered with its relay at once, alone (reference) and while another local client holds six
// resolutions of magnets nobody seeds; SIGTERM to exit, with no flood (reference) and under the first three
// floods at once; and the cleaning of a 2 MB subtitle cue made of "{\" against a 2 MB cue of
// plain text.
//   build/bench/bench_floods [--runs N] [--stream PATH]
// --stream runs another build's morvane-stream (the same figures of an earlier commit).

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/torrent_info.hpp>
#include <string>
#include <thread>
#include <vector>

#include "media/WebVtt.h"
#include "tests/support/DrippingServer.h"
#include "tests/support/RawHttp.h"

namespace {

using namespace morvane::testing;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kFlooder = "127.0.0.2";
constexpr const char* kKey = "benchmarkfloodskey0123456789abcd";

std::string streamPath = MORVANE_STREAM_PATH;

// A v1 .torrent of a film and `extras` one-byte files beside it, written to `path`; its
// info-hash in hexadecimal.
std::string WriteTorrent(const std::string& path, int extras) {
  namespace lt = libtorrent;
  lt::file_storage files;
  files.add_file("Season/Show.S01E01.mp4", 4 << 20);
  for (int i = 0; i < extras; ++i) {
    char name[40];
    std::snprintf(name, sizeof name, "Season/extras/%06d.nfo", i);
    files.add_file(name, 1);
  }
  lt::create_torrent made(files, 1 << 20, lt::create_torrent::v1_only);
  for (lt::piece_index_t p(0); p < made.end_piece(); ++p) made.set_hash(p, lt::sha1_hash("0123456789abcdefghij"));
  std::vector<char> bytes;
  lt::bencode(std::back_inserter(bytes), made.generate());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const lt::torrent_info info(bytes, lt::from_span);
  std::string hex;
  for (const char byte : info.info_hashes().v1) {
    hex += "0123456789abcdef"[(static_cast<unsigned char>(byte) >> 4) & 15];
    hex += "0123456789abcdef"[static_cast<unsigned char>(byte) & 15];
  }
  return hex;
}

// A folder of its own under the system's temporary folder, removed at the end.
class Scratch {
 public:
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bench-floods-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// morvane-stream on a free loopback port; its port read from what it prints.
class Service {
 public:
  explicit Service(const std::string& root) {
    const std::string key = root + "/key";
    std::ofstream(key) << kKey << "\n";
    ::chmod(key.c_str(), 0600);
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      const std::string cache = root + "/cache", key = root + "/key";
      ::execl(streamPath.c_str(), streamPath.c_str(), "--port", "0", "--cache-dir", cache.c_str(),
              "--no-dht", "--no-local-discovery", "--no-default-trackers", "--metadata-timeout", "60",
              "--token-file", key.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    std::string said;
    char buffer[256];
    for (ssize_t n; said.find('\n') == std::string::npos && (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
      said.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    const auto colon = said.rfind(':');
    if (said.starts_with("morvane-stream listening on ") && colon != std::string::npos)
      port_ = std::atoi(said.c_str() + colon + 1);
  }
  ~Service() {
    if (pid_ > 0 && !ended_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }

  // The most memory the service has held so far, in MiB (VmHWM).
  long PeakMiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.starts_with("VmHWM:")) return std::atol(line.c_str() + 6) / 1024;
    return 0;
  }

  // SIGTERM to exit, in milliseconds; -1 when it has not ended after 30 s.
  double Terminate() {
    const auto sent = Clock::now();
    ::kill(pid_, SIGTERM);
    while (Clock::now() - sent < 30s) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        ended_ = true;
        return Ms(Clock::now() - sent);
      }
      std::this_thread::sleep_for(1ms);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  bool ended_ = false;
};

enum Flood : unsigned {
  kNone = 0,
  kSlowHeads = 1,
  kDrippingBodies = 2,
  kUnseededMagnets = 4,
  kFileLists = 8,
};

// The flooding client's connections, held open until it goes.
class Flooder {
 public:
  Flooder(int port, unsigned floods, const DrippingServer& dripping, const std::string& root) {
    const auto send = [&](const std::string& request) {
      const int fd = ConnectLoopback(port, kFlooder);
      if (fd < 0) return;
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      held_.push_back(fd);
    };
    if (floods & kSlowHeads)
      for (int i = 0; i < 100; ++i) send("GET /status/x HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    if (floods & kDrippingBodies)
      for (int i = 0; i < 16; ++i)
        send("GET /xml.php?url=" + dripping.base() + "/" + std::to_string(i) + ".torrent HTTP/1.1\r\n\r\n");
    if (floods & kUnseededMagnets)
      for (int i = 0; i < 1000; ++i) {
        char hash[41];
        std::snprintf(hash, sizeof hash, "%040x", i + 1);
        send(std::string("GET /xml.php?url=magnet:?xt=urn:btih:") + hash + " HTTP/1.1\r\n\r\n");
      }
    if (floods & kFileLists) {
      // The torrent is listed once its film is chosen; its resolution goes on to wait for
      // the film, which nobody seeds.
      const std::string hash = WriteTorrent(root + "/huge.torrent", 100000);
      send("GET /xml.php?url=" + root + "/huge.torrent HTTP/1.1\r\n\r\n");
      const auto until = Clock::now() + 30s;
      while (Clock::now() < until &&
             !RawExchange(port, "GET /files/" + hash + " HTTP/1.1\r\n\r\n", 20s, kFlooder).starts_with("HTTP/1.1 200"))
        std::this_thread::sleep_for(50ms);
      for (int i = 0; i < 48; ++i) send("GET /files/" + hash + " HTTP/1.1\r\n\r\n");
    }
  }
  ~Flooder() {
    for (const int fd : held_) ::close(fd);
  }
  std::size_t connections() const { return held_.size(); }

 private:
  std::vector<int> held_;
};

struct Pings {
  int answered = 0;
  int asked = 0;
  double slowestMs = 0;
};

Pings Ping(int port) {
  Pings pings;
  const auto end = Clock::now() + 5s;
  while (Clock::now() < end) {
    const auto asked = Clock::now();
    const std::string answer =
        RawExchange(port, "GET /status/" + std::string(40, 'a') + " HTTP/1.1\r\n\r\n", 10s);
    const double took = Ms(Clock::now() - asked);
    ++pings.asked;
    if (answer.starts_with("HTTP/1.1 404")) {
      ++pings.answered;
      pings.slowestMs = std::max(pings.slowestMs, took);
    }
    std::this_thread::sleep_until(asked + 100ms);
  }
  return pings;
}

// The window's resolution, with the key, of a link that costs nothing to resolve (an ftp
// address is answered with its relay): the time is the wait for a worker. Its status and
// time; the status negative when no address came back.
std::pair<int, double> WindowResolution(int port) {
  const auto asked = Clock::now();
  const std::string answer = RawExchange(
      port, "GET /" + std::string(kKey) + "/xml.php?url=ftp://films.example/film.mkv HTTP/1.1\r\n\r\n", 70s);
  const int status = answer.size() >= 12 ? std::atoi(answer.c_str() + 9) : 0;
  return {answer.find("<file>http") != std::string::npos ? status : -status, Ms(Clock::now() - asked)};
}

double CleaningMs(const std::string& body) {
  const std::string file = "1\n00:00:01,000 --> 00:00:02,000\n" + body + "\n";
  const auto started = Clock::now();
  const auto converted = morvane::media::ConvertSubtitleFile(file, "film.srt");
  const double ms = Ms(Clock::now() - started);
  return converted.ok ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 1;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--stream") == 0) streamPath = argv[i + 1];
  }
  // A thousand connections of the flooder beside everything else.
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  std::signal(SIGPIPE, SIG_IGN);

  DrippingServer dripping;
  for (int run = 1; run <= runs; ++run) {
    std::printf("run %d\n", run);
    const struct {
      const char* what;
      unsigned floods;
    } cases[] = {
        {"no flood (reference)", kNone},
        {"100 heads that never end", kSlowHeads},
        {"16 dripping .torrent bodies", kDrippingBodies},
        {"1000 unseeded magnets", kUnseededMagnets},
        {"48 lists of 100,001 files", kFileLists},
    };
    for (const auto& c : cases) {
      const Scratch root;
      Service service(root.path());
      if (service.port() == 0) {
        std::fprintf(stderr, "bench_floods: morvane-stream did not start\n");
        return 1;
      }
      const Flooder flooder(service.port(), c.floods, dripping, root.path());
      std::this_thread::sleep_for(300ms);
      const Pings pings = Ping(service.port());
      std::printf("  pings under %-28s %2d of %2d answered, slowest %7.1f ms (%zu flood connections, %ld MiB)\n",
                  c.what, pings.answered, pings.asked, pings.slowestMs, flooder.connections(),
                  service.PeakMiB());
    }
    for (const bool held : {false, true}) {
      const Scratch root;
      Service service(root.path());
      std::vector<int> resolutions;  // another local client's, from the window's own address
      for (int i = 0; held && i < 6; ++i) {
        char hash[41];
        std::snprintf(hash, sizeof hash, "%040x", i + 1);
        const std::string request = std::string("GET /xml.php?url=magnet:?xt=urn:btih:") + hash + " HTTP/1.1\r\n\r\n";
        const int fd = ConnectLoopback(service.port());
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        resolutions.push_back(fd);
      }
      std::this_thread::sleep_for(300ms);
      const auto [status, ms] = WindowResolution(service.port());
      std::printf("  the window's resolution %-37s %s %d in %7.1f ms\n",
                  held ? "beside 6 held by another client" : "alone (reference)",
                  status > 0 ? "played," : "refused,", std::abs(status), ms);
      for (const int fd : resolutions) ::close(fd);
    }
    for (const unsigned floods : {static_cast<unsigned>(kNone), kSlowHeads | kDrippingBodies | kUnseededMagnets}) {
      const Scratch root;
      Service service(root.path());
      const Flooder flooder(service.port(), floods, dripping, root.path());
      std::this_thread::sleep_for(1s);
      std::printf("  SIGTERM to exit %-30s %7.1f ms\n", floods ? "under the three floods" : "with no flood (reference)",
                  service.Terminate());
    }
    std::string braces, plain;
    while (braces.size() < (2u << 20)) braces += "{\\";
    plain.assign(braces.size(), 'a');
    const double bracesMs = CleaningMs(braces), plainMs = CleaningMs(plain);
    std::printf("  a 2 MB cue of \"{\\\" cleaned in %.1f ms; of plain text (reference) %.1f ms; ratio %.2f\n",
                bracesMs, plainMs, plainMs > 0 ? bracesMs / plainMs : 0.0);
  }
  return 0;
}
