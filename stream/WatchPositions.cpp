#include "stream/WatchPositions.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace morvane::stream {

namespace {

constexpr const char* kHeader = "# morvane watch positions 1";
// A film longer than this is no film (about four months).
constexpr double kMostSeconds = 1e7;
// Subtitles out of step by more than ten minutes belong to another film.
constexpr double kMostShift = 600;
// A file larger than this was not written by us: it is not read.
constexpr std::uintmax_t kMostFileBytes = 4u << 20;

bool Within(const std::optional<double>& value, double low, double high) {
  return !value || (std::isfinite(*value) && *value >= low && *value <= high);
}

bool IsHash(const std::string& text) {
  return text.size() == 40 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void WatchPositions::LoadOnce() const {
  if (loaded_) return;
  loaded_ = true;
  std::error_code ec;
  const auto size = fs::file_size(file_, ec);
  if (ec || size > kMostFileBytes) return;
  std::ifstream in(file_);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string hash;
    int file = -1;
    Entry entry;
    WatchPosition& p = entry.position;
    if (!(fields >> hash >> file >> p.seconds >> p.duration >> p.subtitleShift >> entry.changed))
      continue;
    if (!IsHash(hash) || file < 0 || !Within(p.seconds, 0, kMostSeconds) ||
        !Within(p.duration, 0, kMostSeconds) || !Within(p.subtitleShift, -kMostShift, kMostShift))
      continue;
    entries_[{hash, file}] = entry;
  }
}

bool WatchPositions::Save() const {
  std::error_code ec;
  fs::create_directories(file_.parent_path(), ec);
  // Written aside and renamed: a crash never leaves half the file.
  const fs::path aside = file_.string() + ".new";
  {
    std::ofstream out(aside, std::ios::trunc);
    out << kHeader << "\n";
    char line[160];
    for (const auto& [key, entry] : entries_) {
      const WatchPosition& p = entry.position;
      std::snprintf(line, sizeof line, "%s %d %.3f %.3f %.1f %lld\n", key.first.c_str(), key.second,
                    p.seconds, p.duration, p.subtitleShift, static_cast<long long>(entry.changed));
      out << line;
    }
    if (!out) return false;
  }
  fs::rename(aside, file_, ec);
  return !ec;
}

std::optional<WatchPosition> WatchPositions::Get(const std::string& hash, int file) const {
  std::lock_guard lock(mutex_);
  LoadOnce();
  const auto it = entries_.find({hash, file});
  if (it == entries_.end()) return std::nullopt;
  return it->second.position;
}

bool WatchPositions::Put(const std::string& hash, int file, const WatchUpdate& update) {
  if (!IsHash(hash) || file < 0 || !Within(update.seconds, 0, kMostSeconds) ||
      !Within(update.duration, 0, kMostSeconds) ||
      !Within(update.subtitleShift, -kMostShift, kMostShift))
    return false;
  std::lock_guard lock(mutex_);
  LoadOnce();
  Entry& entry = entries_[{hash, file}];
  WatchPosition& p = entry.position;
  if (update.seconds) p.seconds = *update.seconds;
  if (update.duration) p.duration = *update.duration;
  // Kept in tenths, as the player shifts it: sums of steps do not drift.
  if (update.subtitleShift) p.subtitleShift = std::round(*update.subtitleShift * 10) / 10;
  entry.changed = Now();
  if (p.seconds == 0 && p.subtitleShift == 0) entries_.erase({hash, file});
  const Key changed{hash, file};
  while (entries_.size() > mostFilms_) {
    // Not the film just recorded, though others may share its second.
    auto oldest = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
      if (it->first != changed &&
          (oldest == entries_.end() || it->second.changed < oldest->second.changed))
        oldest = it;
    entries_.erase(oldest);
  }
  return Save();
}

}  // namespace morvane::stream
