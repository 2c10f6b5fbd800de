// morvane-stream: the streaming resolution service on its own, for instance on a home
// server that Morvane's resolution host setting then names. Runs until SIGINT or SIGTERM.

#include <signal.h>
#include <sys/resource.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Settings.h"
#include "stream/AccessKey.h"
#include "stream/PeerInterface.h"
#include "stream/ServiceSettings.h"
#include "stream/StreamService.h"

namespace {

constexpr char kUsage[] =
    "usage: morvane-stream [OPTIONS]\n"
    "\n"
    "Resolves links (\"/xml.php?url=LINK\") and streams torrent videos over HTTP.\n"
    "\n"
    "  --listen ADDRESS     address to serve on (default 127.0.0.1; 0.0.0.0 for every one);\n"
    "                       beyond loopback every request needs the service's key, on\n"
    "                       loopback every request that a web page sends\n"
    "  --port PORT          port to serve on (default 47083; 0 picks a free one)\n"
    "  --token-file FILE    the file of the key (default $XDG_CONFIG_HOME/morvane/stream-token);\n"
    "                       when it is missing a random key is written there and printed\n"
    "  --peer-interface NAME|ADDRESS\n"
    "                       reach peers and take their connections only through this\n"
    "                       interface or address (e.g. a VPN's wg0); default: every one\n"
    "  --cache-dir DIR      cache folder (default $XDG_CACHE_HOME/morvane/stream)\n"
    "  --cache-cap SIZE     cache size cap, e.g. 10G, 500M (default 10G)\n"
    "  --keep-free SIZE     space left free on the cache's disk, e.g. 1G (default 64M)\n"
    "  --no-dht             do not use the DHT\n"
    "  --dht-node HOST:PORT a DHT bootstrap node (repeatable)\n"
    "  --tracker URL        an announce address added to every torrent (repeatable)\n"
    "  --no-default-trackers  leave out the build's own announce addresses\n"
    "  --no-local-discovery no LSD, UPnP or NAT-PMP\n"
    "  --metadata-timeout S seconds to wait for a torrent's metadata (default 30)\n"
    "  --max-download RATE  bytes a second for all downloads, e.g. 4M, 500K (default: no limit;\n"
    "                       peers on this machine are held to it too)\n"
    "  --max-upload RATE    the same for uploads\n"
    "  --idle-after TIME    a torrent nobody reads stops downloading after TIME, e.g. 10s, 2m\n"
    "                       (default 10s); a new reader starts it again\n"
    "  --seed-ratio RATIO   after watching, a torrent uploads until it has given RATIO times what\n"
    "                       it downloaded (default 1.0) ...\n"
    "  --seed-time TIME     ... or until TIME after it was last watched (default 30m); then it\n"
    "                       stops, its data kept in the cache. 0 for either: no seeding after\n"
    "  --help               this text\n";

bool ParseNumber(const std::string& text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseSize(std::string text, std::uint64_t& bytes) {
  if (text.empty()) return false;
  int shift = 0;
  switch (text.back()) {
    case 'K': case 'k': shift = 10; break;
    case 'M': case 'm': shift = 20; break;
    case 'G': case 'g': shift = 30; break;
    case 'T': case 't': shift = 40; break;
    default: break;
  }
  if (shift) text.pop_back();
  std::uint64_t value = 0;
  if (!ParseNumber(text, value) || value > (~0ull >> shift)) return false;
  bytes = value << shift;
  return true;
}

int Fail(const char* message, const std::string& detail) {
  std::fprintf(stderr, "morvane-stream: %s%s\n%s", message, detail.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using morvane::stream::StreamOptions;
  StreamOptions options;
  options.port = 47083;
  bool defaultTrackers = true;
  std::string tokenFile;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string text;
    std::uint64_t number = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--listen") {
      if (!value(options.bindAddress)) return Fail("--listen needs an address", "");
    } else if (arg == "--port") {
      if (!value(text) || !ParseNumber(text, number) || number > 65535)
        return Fail("bad port: ", text);
      options.port = static_cast<int>(number);
    } else if (arg == "--token-file") {
      if (!value(tokenFile) || tokenFile.empty()) return Fail("--token-file needs a file", "");
    } else if (arg == "--peer-interface") {
      if (!value(text) || !morvane::stream::UsePeerInterface(text, options))
        return Fail("not an interface name or address: ", text);
    } else if (arg == "--cache-dir") {
      if (!value(options.cacheDir)) return Fail("--cache-dir needs a folder", "");
    } else if (arg == "--cache-cap") {
      if (!value(text) || !ParseSize(text, options.cacheCapBytes)) return Fail("bad size: ", text);
    } else if (arg == "--keep-free") {
      if (!value(text) || !ParseSize(text, options.keepFreeBytes)) return Fail("bad size: ", text);
    } else if (arg == "--no-dht") {
      options.dht = false;
    } else if (arg == "--dht-node") {
      if (!value(text)) return Fail("--dht-node needs HOST:PORT", "");
      options.dhtBootstrapNodes.push_back(text);
    } else if (arg == "--tracker") {
      if (!value(text)) return Fail("--tracker needs an address", "");
      options.extraTrackers.push_back(text);
    } else if (arg == "--no-default-trackers") {
      defaultTrackers = false;
    } else if (arg == "--no-local-discovery") {
      options.localPeerDiscovery = false;
    } else if (arg == "--metadata-timeout") {
      if (!value(text) || !ParseNumber(text, number) || number == 0 || number > 3600)
        return Fail("bad time-out: ", text);
      options.metadataTimeout = std::chrono::seconds(number);
    } else if (arg.starts_with("--") && morvane::stream::IsServiceSetting(arg.substr(2))) {
      if (!value(text) ||
          morvane::stream::ApplyServiceSetting(options, arg.substr(2), text) != morvane::stream::SettingOutcome::kTaken)
        return Fail("bad value: ", arg + " " + text);
    } else {
      return Fail("unknown option ", arg);
    }
  }
  if (defaultTrackers)
    for (const std::string& tracker : morvane::BuildExtraTrackers())
      options.extraTrackers.push_back(tracker);

  // Beyond loopback the service answers only requests with its key. On loopback it takes the
  // key as well: a web page in a browser reaches loopback, and only with the key does it get
  // anything done there (Morvane's window reads the same file).
  {
    const std::string path = tokenFile.empty() ? morvane::stream::DefaultKeyFile() : tokenFile;
    const morvane::stream::KeyFile key = morvane::stream::LoadOrMakeKey(path);
    if (key.key.empty()) {
      std::fprintf(stderr, "morvane-stream: %s\n", key.error.c_str());
      return 1;
    }
    if (!key.notice.empty()) std::fprintf(stderr, "morvane-stream: %s\n", key.notice.c_str());
    options.accessKey = key.key;
    if (key.made)
      std::printf("morvane-stream: a new key, kept in %s: %s\n"
                  "morvane-stream: Morvane reaches this service with the resolution host HOST:PORT/%s\n",
                  path.c_str(), key.key.c_str(), key.key.c_str());
  }

  // Every client costs a descriptor while its request comes, and a torrent some more: a
  // server takes what the system allows, not the shell's default of 1,024.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }

  // The signals are taken synchronously, so the stop runs on the main thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  morvane::stream::StreamService service(options);
  if (!service.Start()) {
    std::fprintf(stderr, "morvane-stream: cannot listen on %s:%d\n", options.bindAddress.c_str(),
                 options.port);
    return 1;
  }
  std::printf("morvane-stream listening on %s:%d\n", options.bindAddress.c_str(), service.Port());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);
  service.Stop();
  return 0;
}
