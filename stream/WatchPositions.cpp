#include "stream/WatchPositions.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <string_view>
#include <vector>

#include "platform/Files.h"
#include "platform/NumberText.h"

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

// The blank-separated fields of a line.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t at = 0; at < line.size();) {
    at = line.find_first_not_of(" \t\r", at);
    if (at == std::string_view::npos) break;
    const std::size_t end = std::min(line.find_first_of(" \t\r", at), line.size());
    fields.push_back(line.substr(at, end - at));
    at = end;
  }
  return fields;
}

template <typename Integer>
std::optional<Integer> WholeNumber(std::string_view text) {
  Integer value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
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
  const std::optional<std::string> text = ReadWholeFile(file_.string(), kMostFileBytes);
  if (!text) return;
  for (std::string_view rest = *text; !rest.empty();) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string_view> fields = Fields(line);
    if (fields.size() < 6) continue;
    const std::string hash(fields[0]);
    const int file = WholeNumber<int>(fields[1]).value_or(-1);
    const auto seconds = ParseNumber(fields[2]), duration = ParseNumber(fields[3]),
               shift = ParseNumber(fields[4]);
    const auto changed = WholeNumber<std::int64_t>(fields[5]);
    if (!seconds || !duration || !shift || !changed) continue;
    Entry entry{{*seconds, *duration, *shift}, *changed};
    const WatchPosition& p = entry.position;
    if (!IsHash(hash) || file < 0 || !Within(p.seconds, 0, kMostSeconds) ||
        !Within(p.duration, 0, kMostSeconds) || !Within(p.subtitleShift, -kMostShift, kMostShift))
      continue;
    entries_[{hash, file}] = entry;
  }
}

bool WatchPositions::Save() const {
  std::error_code ec;
  fs::create_directories(file_.parent_path(), ec);
  std::string text = std::string(kHeader) + "\n";
  for (const auto& [key, entry] : entries_) {
    const WatchPosition& p = entry.position;
    text += key.first + " " + std::to_string(key.second) + " " + FixedText(p.seconds, 3) + " " +
            FixedText(p.duration, 3) + " " + FixedText(p.subtitleShift, 1) + " " +
            std::to_string(entry.changed) + "\n";
  }
  // What is watched is the viewer's own business: no other user of the machine reads it.
  return WriteWholeFile(file_.string(), text, FileAccess::kOwnerOnly);
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
