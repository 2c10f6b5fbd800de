#include "stream/TorrentLifecycle.h"

#include <algorithm>

namespace morvane::stream {

std::string_view StateName(TorrentState state) {
  switch (state) {
    case TorrentState::kWatching: return "watching";
    case TorrentState::kIdle: return "idle";
    case TorrentState::kSeeding: return "seeding";
    case TorrentState::kStopped: return "stopped";
  }
  return "stopped";
}

TorrentState DecideState(const LifecycleSettings& settings, const TorrentFacts& facts) {
  if (facts.read || facts.sinceWatched < settings.idleAfter) return TorrentState::kWatching;
  if (facts.ratio >= settings.seedRatio || facts.sinceWatched >= settings.seedTime)
    return TorrentState::kStopped;
  return facts.wholeVideo ? TorrentState::kSeeding : TorrentState::kIdle;
}

double ShareRatio(std::int64_t uploaded, std::int64_t downloaded, std::int64_t held) {
  const std::int64_t owed = std::max(downloaded, held);
  if (owed <= 0 || uploaded <= 0) return 0;
  return static_cast<double>(uploaded) / static_cast<double>(owed);
}

void RateMeter::Add(Clock::time_point now, std::int64_t downloaded, std::int64_t uploaded) {
  if (!samples_.empty() && (downloaded < samples_.back().downloaded || uploaded < samples_.back().uploaded))
    samples_.clear();
  samples_.push_back({now, downloaded, uploaded});
  // The oldest sample kept is the last one at or before the window's start, so that the
  // rate spans the whole window once there is one that old.
  while (samples_.size() > 2 && samples_[1].at <= now - window_) samples_.pop_front();
}

std::int64_t RateMeter::Rate(std::int64_t Sample::*total) const {
  if (samples_.size() < 2) return 0;
  const Sample& first = samples_.front();
  const Sample& last = samples_.back();
  const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(last.at - first.at).count();
  if (span <= 0) return 0;
  return (last.*total - first.*total) * 1000 / span;
}

}  // namespace morvane::stream
