#pragma once
// Where the viewer stopped in each film (a torrent and one of its files) and how far its
// subtitles are shifted, kept in a small file of the service's cache folder so that it
// survives closing the program and the service. The player page records them as it plays
// and asks for them when the film plays again.

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace morvane::stream {

struct WatchPosition {
  double seconds = 0;        // film time reached
  double duration = 0;       // the film's length as the player knew it, 0 when unknown
  double subtitleShift = 0;  // seconds the subtitles show later (negative: earlier)
};

// What a player reports; what it leaves out keeps its value.
struct WatchUpdate {
  std::optional<double> seconds, duration, subtitleShift;
};

class WatchPositions {
 public:
  // Films remembered at most by default: the least recently changed are forgotten past it.
  static constexpr std::size_t kMostFilms = 2000;

  explicit WatchPositions(std::filesystem::path file, std::size_t mostFilms = kMostFilms)
      : file_(std::move(file)), mostFilms_(mostFilms) {}

  std::optional<WatchPosition> Get(const std::string& hash, int file) const;
  // Applies the update and writes the file; false when a value is out of bounds (nothing
  // changes) or the file cannot be written (the change is kept in memory). A film back at
  // its start with its subtitles unshifted is forgotten.
  bool Put(const std::string& hash, int file, const WatchUpdate& update);

 private:
  struct Entry {
    WatchPosition position;
    std::int64_t changed = 0;  // seconds since the epoch, to forget the oldest first
  };
  using Key = std::pair<std::string, int>;

  void LoadOnce() const;
  bool Save() const;

  std::filesystem::path file_;
  std::size_t mostFilms_;
  mutable std::mutex mutex_;
  mutable bool loaded_ = false;
  mutable std::map<Key, Entry> entries_;
};

}  // namespace morvane::stream
