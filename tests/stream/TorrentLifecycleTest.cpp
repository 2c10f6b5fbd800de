#include "stream/TorrentLifecycle.h"

#include <gtest/gtest.h>

namespace morvane::stream {
namespace {

using namespace std::chrono_literals;

TEST(TorrentLifecycleTest, WatchingFirstThenSeedingUntilTheRatioOrTheTime) {
  const LifecycleSettings defaults;  // 10 s idle, ratio 1.0, 30 min
  const LifecycleSettings never{10s, 0, 30min};
  const LifecycleSettings noTime{10s, 1.0, 0ms};
  struct Case {
    const char* what;
    LifecycleSettings settings;
    TorrentFacts facts;
    TorrentState state;
  } cases[] = {
      {"read now", defaults, {true, 0ms, 0, false}, TorrentState::kWatching},
      {"read now, long past its seeding", defaults, {true, 2h, 5.0, true}, TorrentState::kWatching},
      {"just resolved, no reader yet", defaults, {false, 0ms, 0, false}, TorrentState::kWatching},
      {"within the idle time", defaults, {false, 9999ms, 0, false}, TorrentState::kWatching},
      {"past the idle time, part missing", defaults, {false, 10s, 0, false}, TorrentState::kIdle},
      {"past the idle time, whole video", defaults, {false, 10s, 0.5, true}, TorrentState::kSeeding},
      {"ratio reached", defaults, {false, 11s, 1.0, true}, TorrentState::kStopped},
      {"ratio reached while watched: stops once the idle time is over", defaults,
       {false, 10s, 3.0, false}, TorrentState::kStopped},
      {"seeding time over", defaults, {false, 30min, 0.1, true}, TorrentState::kStopped},
      {"seeding time nearly over", defaults, {false, 30min - 1ms, 0.1, true}, TorrentState::kSeeding},
      {"ratio 0: no seeding after", never, {false, 10s, 0, true}, TorrentState::kStopped},
      {"ratio 0, still within the idle time", never, {false, 5s, 0, true}, TorrentState::kWatching},
      {"time 0: no seeding after", noTime, {false, 10s, 0, false}, TorrentState::kStopped},
      {"idle time 0: only while read", LifecycleSettings{0ms, 1.0, 30min}, {false, 0ms, 0, false},
       TorrentState::kIdle},
  };
  for (const Case& c : cases) EXPECT_EQ(DecideState(c.settings, c.facts), c.state) << c.what;
}

TEST(TorrentLifecycleTest, ShareRatioOwesForWhatItHolds) {
  struct Case {
    const char* what;
    std::int64_t uploaded, downloaded, held;
    double ratio;
  } cases[] = {
      {"nothing moved", 0, 0, 0, 0},
      {"downloaded, nothing given", 0, 100, 100, 0},
      {"gave half", 50, 100, 100, 0.5},
      {"gave twice", 200, 100, 100, 2.0},
      {"pieces from the cache without counts", 50, 0, 100, 0.5},
      {"more downloaded than held (pieces failed their check)", 60, 120, 100, 0.5},
      {"uploaded with nothing held or downloaded", 10, 0, 0, 0},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(ShareRatio(c.uploaded, c.downloaded, c.held), c.ratio) << c.what;
}

TEST(TorrentLifecycleTest, RatesSpanTheLastWindowAndFallToZeroWhenNothingMoves) {
  const RateMeter::Clock::time_point t0{};
  struct Sample {
    int ms;
    std::int64_t down, up;
  };
  struct Case {
    const char* what;
    std::vector<Sample> samples;
    std::int64_t down, up;
  } cases[] = {
      {"no sample", {}, 0, 0},
      {"one sample", {{0, 1000, 0}}, 0, 0},
      {"steady 1000 a second", {{0, 0, 0}, {500, 500, 100}, {1000, 1000, 200}}, 1000, 200},
      {"the window drops what is older than 2 s",
       {{0, 0, 0}, {500, 10000, 0}, {1000, 10000, 0}, {2500, 12000, 0}, {3000, 12000, 0}}, 1000, 0},
      {"stopped: zero once the window holds no change",
       {{0, 0, 0}, {1000, 5000, 0}, {2000, 5000, 0}, {3000, 5000, 0}}, 0, 0},
      {"totals that went down (paused and resumed) start afresh",
       {{0, 0, 0}, {1000, 90000, 0}, {1500, 0, 0}, {2000, 400, 0}}, 800, 0},
  };
  for (const Case& c : cases) {
    RateMeter meter;
    for (const Sample& s : c.samples) meter.Add(t0 + std::chrono::milliseconds(s.ms), s.down, s.up);
    EXPECT_EQ(meter.DownloadRate(), c.down) << c.what;
    EXPECT_EQ(meter.UploadRate(), c.up) << c.what;
  }
}

}  // namespace
}  // namespace morvane::stream
