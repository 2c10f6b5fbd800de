#include "platform/Settings.h"

#include <sstream>

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

std::vector<std::string> BuildExtraTrackers() {
  std::vector<std::string> trackers;
  std::istringstream words(build_settings::kExtraTrackers);
  for (std::string tracker; words >> tracker;) trackers.push_back(tracker);
  return trackers;
}

}  // namespace morvane
