#pragma once
// What the benchmarks of the real window share: the stand-in services on free ports, a fresh
// streaming service on the loopback swarm of their seeder, and the medians they print. Their
// targets define MORVANE_SOURCE_DIR and MORVANE_GENERATED_MEDIA_DIR.

#include <QTcpServer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "services/Catalogue.h"
#include "services/StandInServices.h"
#include "stream/StreamService.h"

namespace morvane::bench {

using WindowClock = std::chrono::steady_clock;

inline double Milliseconds(WindowClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The middle value (the upper one of an even count), -1 for none.
inline double Median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// A loopback port nobody listens on, 0 when none was found.
inline int FreePort() {
  QTcpServer probe;
  return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// The stand-in services on free ports, their seeder held to `seedUploadLimit` bytes a second
// per torrent (0: unheld); null when they did not start.
inline std::unique_ptr<services::StandInServices> StartStandIns(int seedUploadLimit) {
  services::ServicesOptions options;
  options.portBase = 0;
  options.catalogueDir = MORVANE_SOURCE_DIR "/services/catalogue";
  options.mediaDir = MORVANE_SOURCE_DIR "/services/media";
  options.extraMediaDir = MORVANE_GENERATED_MEDIA_DIR;
  options.seedUploadLimit = seedUploadLimit;
  auto services = std::make_unique<services::StandInServices>(options);
  return services->Start() ? std::move(services) : nullptr;
}

// The key of the benchmarks' own streaming services, as the program keys its own: the
// player page's requests name a page, and only keyed ones are answered.
inline constexpr char kServiceKey[] = "benchmarkwindowkey0123456789abcd";

// "127.0.0.1:PORT/KEY": the resolution host of a service started below.
inline std::string ServiceHost(const stream::StreamService& service) {
  return "127.0.0.1:" + std::to_string(service.Port()) + "/" + kServiceKey;
}

// A streaming service of its own on a free loopback port, its cache in `cacheDir`, finding
// peers only through the stand-ins' tracker; null when it did not start.
inline std::unique_ptr<stream::StreamService> StartSwarmService(services::StandInServices& swarm,
                                                                const std::string& cacheDir) {
  stream::StreamOptions options;
  options.port = FreePort();
  options.cacheDir = cacheDir;
  options.dht = false;
  options.localPeerDiscovery = false;
  options.peerInterfaces = "127.0.0.1:0";
  options.extraTrackers = {services::AnnounceAddress(swarm.Host(services::Service::Publisher))};
  options.accessKey = kServiceKey;
  auto service = std::make_unique<stream::StreamService>(options);
  if (service->Start()) return service;
  std::fprintf(stderr, "the streaming service did not start on port %d\n", options.port);
  return nullptr;
}

// One figure's line: its median against the target (none when `target` is 0) and every run.
inline void Report(const char* what, const std::vector<double>& values, double target) {
  const double median = Median(values);
  std::string each;
  for (const double v : values) each += (each.empty() ? "" : ", ") + std::to_string(std::lround(v));
  std::printf("%-58s %7.0f ms", what, median);
  if (target > 0)
    std::printf("  (target <= %.0f ms: %s)", target, median >= 0 && median <= target ? "met" : "NOT MET");
  std::printf("  runs: %s\n", each.c_str());
}

}  // namespace morvane::bench
