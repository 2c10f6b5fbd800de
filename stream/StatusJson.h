#pragma once
// The state of a stream as the /status/ answer shows it.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace morvane::stream {

class TorrentEngine;

struct StreamSnapshot {
  std::string hash;
  bool ready = false;
  int peers = 0;
  int downloadRate = 0;  // payload bytes a second
  int uploadRate = 0;
  // Known once ready:
  std::string name;
  std::int64_t size = 0;
  std::vector<std::pair<std::int64_t, std::int64_t>> held;  // byte ranges whose pieces are in
  int readers = 0;
};

// {"hash":…,"ready":…,"peers":…,"downloadRate":…,"uploadRate":…, and once ready "name",
// "size", "bytesVerified", "readers", "buffered":[[begin,end],…]}
std::string StatusJson(const StreamSnapshot& snapshot);

// The status of the engine's stream `hash`, or nothing when it has none.
std::optional<std::string> StatusJsonOf(const TorrentEngine& engine, const std::string& hash);

}  // namespace morvane::stream
