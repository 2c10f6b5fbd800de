#pragma once
// The state of a stream as the /status/ answer shows it.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "stream/TorrentLifecycle.h"

namespace morvane::stream {

class TorrentEngine;

struct StreamSnapshot {
  std::string hash;
  bool ready = false;
  int peers = 0;
  std::int64_t downloadRate = 0;  // payload bytes a second over the last seconds
  std::int64_t uploadRate = 0;
  TorrentState state = TorrentState::kWatching;
  // Payload bytes over every run of the service, and their share ratio (ShareRatio).
  std::int64_t downloaded = 0;
  std::int64_t uploaded = 0;
  double ratio = 0;
  // Known once ready:
  std::string name;
  std::int64_t size = 0;
  std::vector<std::pair<std::int64_t, std::int64_t>> held;  // byte ranges whose pieces are in
  int readers = 0;
};

// {"hash":…,"ready":…,"peers":…,"downloadRate":…,"uploadRate":…,"state":"watching"|"idle"|
// "seeding"|"stopped","ratio":…,"downloaded":…,"uploaded":…, and once ready "name", "size",
// "bytesVerified", "readers", "buffered":[[begin,end],…]}
std::string StatusJson(const StreamSnapshot& snapshot);

// The status of the engine's stream `hash`, or nothing when it has none.
std::optional<std::string> StatusJsonOf(const TorrentEngine& engine, const std::string& hash);

}  // namespace morvane::stream
