#include "platform/Settings.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "platform/UserConfig.h"
#include "settings/BuildSettings.h"

namespace morvane {

Settings BuildSettings() {
  return Settings{
      build_settings::kPublisherHost,   build_settings::kFirstSiteBase,
      build_settings::kSecondSiteBase,  build_settings::kResolutionHost,
      build_settings::kPlayerHost,      build_settings::kLiveTvHost,
      build_settings::kRunningVersion,  build_settings::kVersionPageStored,
      build_settings::kInfoPageStored,  build_settings::kKeywordListStored,
      build_settings::kMostPageBytes,   std::chrono::seconds(build_settings::kPageDeadlineSeconds),
      build_settings::kMostDownloadBytes,
      build_settings::kUpdatePublicKey,
  };
}

namespace {

// "host", "host:port", "[v6]:port", each optionally followed by "/KEY": no scheme, no
// blanks, nothing an address's authority and one path segment would not hold.
bool IsHostSetting(const std::string& value) {
  if (value.empty() || value.front() == '/' || value.find("://") != std::string::npos ||
      value.find("//") != std::string::npos)
    return false;
  return std::all_of(value.begin(), value.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']' ||
           c == '/' || c == '_' || c == '~';
  });
}

bool SetResolutionHost(Settings& settings, const std::string& value) {
  if (!IsHostSetting(value)) return false;
  settings.resolutionHost = value;
  return true;
}

// mpv, vlc (either with arguments of the user's), or a command line with placeholders
// (cast/PlayerCommand.h); one line of text without control characters.
bool SetExternalPlayer(Settings& settings, const std::string& value) {
  if (value.empty() || std::any_of(value.begin(), value.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
    return false;
  settings.externalPlayer = value;
  return true;
}

struct UserSetting {
  const char* key;
  bool (*apply)(Settings&, const std::string& value);
};

// The streaming service's own settings are passed on as written: the service, a floor
// above, knows their values (stream/ServiceSettings.h holds the same names).
template <const char* Key>
bool KeepForStreamService(Settings& settings, const std::string& value) {
  settings.streamServiceSettings[Key] = value;
  return true;
}
constexpr char kMaxDownload[] = "max-download";
constexpr char kMaxUpload[] = "max-upload";
constexpr char kIdleAfter[] = "idle-after";
constexpr char kSeedRatio[] = "seed-ratio";
constexpr char kSeedTime[] = "seed-time";

constexpr UserSetting kUserSettings[] = {
    {"resolution-host", &SetResolutionHost},
    {"external-player", &SetExternalPlayer},
    {kMaxDownload, &KeepForStreamService<kMaxDownload>},
    {kMaxUpload, &KeepForStreamService<kMaxUpload>},
    {kIdleAfter, &KeepForStreamService<kIdleAfter>},
    {kSeedRatio, &KeepForStreamService<kSeedRatio>},
    {kSeedTime, &KeepForStreamService<kSeedTime>},
};

}  // namespace

std::vector<std::string> ApplyUserSettings(Settings& settings, const std::string& path) {
  std::vector<std::string> notTaken;
  const auto file = ReadKeyValueFile(path);
  if (!file) return notTaken;
  for (const int line : file->badLines)
    notTaken.push_back(path + ":" + std::to_string(line) + ": not \"key = value\"");
  for (const auto& [key, value] : file->values) {
    const auto known = std::find_if(std::begin(kUserSettings), std::end(kUserSettings),
                                    [&](const UserSetting& s) { return key == s.key; });
    if (known == std::end(kUserSettings))
      notTaken.push_back(path + ": unknown setting \"" + key + "\"");
    else if (!known->apply(settings, value))
      notTaken.push_back(path + ": \"" + value + "\" does not fit " + key);
  }
  return notTaken;
}

std::vector<std::string> BuildExtraTrackers() {
  std::vector<std::string> trackers;
  std::istringstream words(build_settings::kExtraTrackers);
  for (std::string tracker; words >> tracker;) trackers.push_back(tracker);
  return trackers;
}

}  // namespace morvane
