#pragma once
// What the streaming benchmarks share: a scratch folder and its seeder, a service on the
// loopback swarm and the media address it resolves a magnet link to.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "stream/StreamService.h"
#include "tests/stream/RawHttp.h"
#include "tests/support/Seeder.h"

namespace morvane::bench {

// A benchmark's swarm: its scratch folder and the in-process seeder of its one film.
struct SeededSwarm {
  std::filesystem::path root;
  std::unique_ptr<testing::Seeder> seeder;
};

// A new folder under the temporary directory, named from `prefix`.
inline std::filesystem::path NewScratchRoot(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

inline std::unique_ptr<stream::StreamService> StartLoopbackService(const std::filesystem::path& cache,
                                                                   bool convertMedia) {
  stream::StreamOptions options;
  options.cacheDir = cache.string();
  options.dht = false;
  options.localPeerDiscovery = false;
  options.peerInterfaces = "127.0.0.1:0";
  options.convertMedia = convertMedia;
  auto service = std::make_unique<stream::StreamService>(options);
  if (!service->Start()) std::abort();
  return service;
}

// The path ("/stream/HASH/NAME", "/convert/...") of the address the service on `port`
// resolves `link` to; empty when it does not.
inline std::string ResolvePath(int port, const std::string& link) {
  const auto answer = testing::RawGet(port, "/xml.php?url=" + link);
  const std::string file = testing::FileOf(answer.body);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  return file.starts_with(base) ? file.substr(base.size()) : std::string();
}

}  // namespace morvane::bench
