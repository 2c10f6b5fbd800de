#pragma once
// The streaming service's settings a user gives by name: "--NAME VALUE" to morvane-stream,
// "NAME = VALUE" in the user's settings file for the service inside Morvane. One table, so
// both take the same names and the same values:
//
//   max-download RATE   bytes a second for all torrents, e.g. 4M, 500K; 0: no limit
//   max-upload RATE     the same for uploads
//   idle-after TIME     a torrent nobody reads stops downloading after this, e.g. 10s, 2m
//   seed-ratio RATIO    after watching, it uploads until this share ratio, e.g. 1.0 ...
//   seed-time TIME      ... or until this long after it was last watched, e.g. 30m, 2h
//
// A RATE is a whole number of bytes with an optional K, M or G (binary multiples). A TIME
// is a whole number with an optional unit ms, s, m or h; without one it is seconds. A
// seed-ratio or seed-time of 0 means no seeding once the film is no longer watched.

#include <string_view>
#include <vector>

#include "stream/StreamOptions.h"

namespace morvane::stream {

enum class SettingOutcome {
  kTaken,
  kUnknown,   // no setting of that name; `options` unchanged
  kBadValue,  // the value does not fit the setting; `options` unchanged
};

bool IsServiceSetting(std::string_view name);
std::vector<std::string_view> ServiceSettingNames();
SettingOutcome ApplyServiceSetting(StreamOptions& options, std::string_view name, std::string_view value);

}  // namespace morvane::stream
