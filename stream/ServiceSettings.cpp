#include "stream/ServiceSettings.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <optional>

#include "platform/NumberText.h"

namespace morvane::stream {

namespace {

std::optional<std::uint64_t> WholeNumber(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// libtorrent keeps its rate limits in an int.
std::optional<std::int64_t> Rate(std::string_view text) {
  int shift = 0;
  if (!text.empty()) {
    switch (text.back()) {
      case 'K': case 'k': shift = 10; break;
      case 'M': case 'm': shift = 20; break;
      case 'G': case 'g': shift = 30; break;
      default: break;
    }
  }
  if (shift) text.remove_suffix(1);
  const auto value = WholeNumber(text);
  if (!value || *value > (static_cast<std::uint64_t>(INT_MAX) >> shift)) return std::nullopt;
  return static_cast<std::int64_t>(*value << shift);
}

std::optional<std::chrono::milliseconds> Time(std::string_view text) {
  // Far beyond any use, and far from overflowing the milliseconds.
  constexpr std::uint64_t kMostMilliseconds = 365ull * 24 * 3600 * 1000;
  std::uint64_t unit = 1000;
  if (text.ends_with("ms")) {
    unit = 1;
    text.remove_suffix(2);
  } else if (!text.empty()) {
    switch (text.back()) {
      case 's': unit = 1000; break;
      case 'm': unit = 60 * 1000; break;
      case 'h': unit = 3600 * 1000; break;
      default: unit = 0; break;
    }
    if (unit) text.remove_suffix(1);
    else unit = 1000;
  }
  const auto value = WholeNumber(text);
  if (!value || *value > kMostMilliseconds / unit) return std::nullopt;
  return std::chrono::milliseconds(static_cast<std::int64_t>(*value * unit));
}

std::optional<double> Ratio(std::string_view text) {
  const std::optional<double> value = ParseNumber(text);
  if (!value || *value < 0 || *value > 1e6) return std::nullopt;
  return value;
}

template <auto Parse, auto Store>
SettingOutcome Apply(StreamOptions& options, std::string_view value) {
  const auto parsed = Parse(value);
  if (!parsed) return SettingOutcome::kBadValue;
  Store(options, *parsed);
  return SettingOutcome::kTaken;
}

struct Setting {
  std::string_view name;
  SettingOutcome (*apply)(StreamOptions&, std::string_view value);
};

constexpr Setting kSettings[] = {
    {"max-download", Apply<Rate, [](StreamOptions& o, std::int64_t rate) { o.maxDownloadRate = rate; }>},
    {"max-upload", Apply<Rate, [](StreamOptions& o, std::int64_t rate) { o.maxUploadRate = rate; }>},
    {"idle-after", Apply<Time, [](StreamOptions& o, std::chrono::milliseconds t) { o.lifecycle.idleAfter = t; }>},
    {"seed-ratio", Apply<Ratio, [](StreamOptions& o, double ratio) { o.lifecycle.seedRatio = ratio; }>},
    {"seed-time", Apply<Time, [](StreamOptions& o, std::chrono::milliseconds t) { o.lifecycle.seedTime = t; }>},
};

const Setting* Find(std::string_view name) {
  for (const Setting& setting : kSettings)
    if (setting.name == name) return &setting;
  return nullptr;
}

}  // namespace

bool IsServiceSetting(std::string_view name) { return Find(name) != nullptr; }

std::vector<std::string_view> ServiceSettingNames() {
  std::vector<std::string_view> names;
  for (const Setting& setting : kSettings) names.push_back(setting.name);
  return names;
}

SettingOutcome ApplyServiceSetting(StreamOptions& options, std::string_view name, std::string_view value) {
  const Setting* setting = Find(name);
  return setting ? setting->apply(options, value) : SettingOutcome::kUnknown;
}

}  // namespace morvane::stream
