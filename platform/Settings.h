#pragma once
// The addresses of the outside services and the running version. They are fixed when the
// program is built; main() takes BuildSettings(), tests fill a Settings with the addresses
// of the servers they start.

#include <string>
#include <vector>

namespace morvane {

struct Settings {
  std::string publisherHost;   // host[:port] of the publisher's server, no scheme
  std::string firstSiteBase;   // scheme and host of the first search site, no trailing "/"
  std::string secondSiteBase;  // scheme and host of the second search site, no trailing "/"
  std::string resolutionHost;  // host[:port] of the video resolution service
  std::string playerHost;      // host[:port] of the online player service
  std::string liveTvHost;      // host[:port] of the live TV site
  std::string runningVersion;  // caption of 透明标签2
  // Stored (enciphered, empty key) addresses on the publisher's server.
  std::string versionPageStored;
  std::string infoPageStored;
  std::string keywordListStored;
};

Settings BuildSettings();
// The announce addresses the program's own streaming service adds to every torrent.
std::vector<std::string> BuildExtraTrackers();

}  // namespace morvane
