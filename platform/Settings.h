#pragma once
// The addresses of the outside services, the running version, and the caps of requests. They are fixed when the
// program is built; main() takes BuildSettings() with the user's settings file applied,
// tests fill a Settings with the addresses of the servers they start.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace morvane {

// A Torznab indexer the user runs (Jackett, Prowlarr and the like), listed in the site box
// after the two search sites. Read from the user's indexer file at start-up.
struct IndexerSource {
  std::string name;        // as the site box lists it (GBK)
  std::string apiAddress;  // the Torznab endpoint, ".../api", without the key
  std::string apiKey;      // sent with every request, shown nowhere
};

struct Settings {
  std::string publisherHost;   // host[:port] of the publisher's server, no scheme
  std::string firstSiteBase;   // scheme and host of the first search site, no trailing "/"
  std::string secondSiteBase;  // scheme and host of the second search site, no trailing "/"
  std::string resolutionHost;  // host[:port] of the video resolution service
  std::string playerHost;      // host[:port] of the online player service
  std::string liveTvHost;      // host[:port] of the live TV site
  std::string runningVersion;  // shown in the status strip (透明标签2)
  // Stored (enciphered, empty key) addresses on the publisher's server.
  std::string versionPageStored;
  std::string infoPageStored;
  std::string keywordListStored;
  // Caps and deadlines (build settings of their own; these defaults are the build defaults).
  std::size_t mostPageBytes = std::size_t{64} << 20;  // a longer page body is unreachable
  std::chrono::milliseconds pageDeadline{120000};     // whole page request; 0: none
  std::uint64_t mostDownloadBytes = std::uint64_t{2} << 30;  // the update's stored file
  // The publisher's Ed25519 public key (base64) that signs new programs; "" when the
  // publisher does not sign and a downloaded program is taken as it comes.
  std::string updatePublicKey;
  // The user's indexers, in the order of the indexer file; none unless the caller reads it.
  std::vector<IndexerSource> indexers = {};
  // The program's own streaming service's settings from the user's settings file (rate
  // limits, seeding; stream/ServiceSettings.h), as written: the service checks them when
  // it starts.
  std::map<std::string, std::string> streamServiceSettings = {};
  // The player a film is handed to ("mpv", "vlc", or a command line of the user's own).
  std::string externalPlayer = "mpv";
};

Settings BuildSettings();

// The user's settings file ("key = value" lines, platform/UserConfig.h), read at start: a
// setting it names replaces the build's value. Known keys:
//   resolution-host = HOST[:PORT][/KEY]   the video resolution service (a keyed
//                                         streaming service carries its key as a path)
//   external-player = mpv | vlc | COMMAND  the player a film is handed to (mpv and VLC
//                                         may carry arguments; a COMMAND takes {url},
//                                         {title}, {subtitle} and {start})
//   max-download, max-upload, idle-after, seed-ratio, seed-time
//                                         the own streaming service's (streamServiceSettings)
// A missing file changes nothing. Returns one line for each line of the file that was not
// taken (not "key = value", an unknown key, a value that does not fit), for the log.
std::vector<std::string> ApplyUserSettings(Settings& settings, const std::string& path);
// The announce addresses the program's own streaming service adds to every torrent.
std::vector<std::string> BuildExtraTrackers();

}  // namespace morvane
