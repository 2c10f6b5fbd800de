#pragma once
// What a torrent does once its film is no longer on screen: pure decisions over what the
// engine knows of it, so the policy can be read and tested apart from the session that
// carries it out.
//
// A torrent being watched downloads and uploads. Once nobody has read it for a while it
// downloads nothing more, so the film on screen gets the line, but goes on uploading what
// it holds until it has given back its share or enough time has passed since it was last
// watched; then it stops altogether. What it holds stays in the cache until evicted, and a
// reader or a resolution starts it again at once.

#include <chrono>
#include <cstdint>
#include <deque>
#include <string_view>

namespace morvane::stream {

enum class TorrentState {
  kWatching,  // read now, or within the idle time: downloads
  kIdle,      // not watched, part of its video missing: downloads nothing, uploads
  kSeeding,   // not watched, its whole video held: uploads
  kStopped,   // past its seeding: no peers, nothing moves
};

// "watching", "idle", "seeding", "stopped": the names the status shows.
std::string_view StateName(TorrentState state);

struct LifecycleSettings {
  // A torrent nobody has read for this long stops downloading.
  std::chrono::milliseconds idleAfter{std::chrono::seconds(10)};
  // After watching, it uploads until it has uploaded this many times what it downloaded,
  // or until this long after it was last watched, whichever comes first. Either at 0: it
  // stops as soon as it is no longer watched.
  double seedRatio = 1.0;
  std::chrono::milliseconds seedTime{std::chrono::minutes(30)};
};

struct TorrentFacts {
  bool read = false;                      // a reader is on it now
  std::chrono::milliseconds sinceWatched{0};  // since it was last read or resolved
  double ratio = 0;                        // ShareRatio
  bool wholeVideo = false;                 // every piece of its video held
};

TorrentState DecideState(const LifecycleSettings& settings, const TorrentFacts& facts);

// Uploaded bytes over downloaded ones. A torrent whose pieces came from the cache of an
// earlier run without their counts (resume data lost) owes for what it holds: the larger
// of the two is the divisor. 0 when it has neither.
double ShareRatio(std::int64_t uploaded, std::int64_t downloaded, std::int64_t held);

// Rates over the last `window` from running totals sampled now and then: libtorrent's own
// rates are averages that take a minute to fall to zero once nothing moves, and a torrent
// that stopped downloading must say so within seconds.
class RateMeter {
 public:
  using Clock = std::chrono::steady_clock;
  explicit RateMeter(std::chrono::milliseconds window = std::chrono::seconds(2)) : window_(window) {}

  // The totals at `now`. A total that went down (libtorrent starts its counts again when a
  // torrent is paused and resumed) begins the measure afresh.
  void Add(Clock::time_point now, std::int64_t downloaded, std::int64_t uploaded);

  // Bytes a second over the samples of the last window; 0 before there are two.
  std::int64_t DownloadRate() const { return Rate(&Sample::downloaded); }
  std::int64_t UploadRate() const { return Rate(&Sample::uploaded); }

 private:
  struct Sample {
    Clock::time_point at;
    std::int64_t downloaded = 0;
    std::int64_t uploaded = 0;
  };
  std::int64_t Rate(std::int64_t Sample::*total) const;

  std::chrono::milliseconds window_;
  std::deque<Sample> samples_;
};

}  // namespace morvane::stream
