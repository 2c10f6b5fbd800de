#pragma once
// Every outside service of the program, played on loopback ports for development and tests:
// the two search sites, the video resolution service, the online player service (HTTPS), the
// publisher's server and the live TV site. Real HTTP over cpp-httplib.

#include <memory>
#include <ostream>
#include <string>

#include "platform/Settings.h"

namespace morvane::services {

enum class Service { Publisher, FirstSite, SecondSite, Resolution, Player, LiveTv };
inline constexpr int kServiceCount = 6;

struct ServicesOptions {
  int portBase = 47080;       // service i listens on portBase + i; 0: every one on a free port
  std::string catalogueDir;   // holds catalogue.tsv and keywords.txt
  std::string mediaDir;       // the sample videos
  std::string latestVersion = "v4.1.8";
  std::string updateProgram;  // file served as the newer program; "" serves none
  std::string updateName = "Morvane-v4.1.8";
  // PEM Ed25519 private key that signs the served program on the version page; "" leaves
  // the page unsigned.
  std::string signingKey;
  std::ostream* log = nullptr;  // access log, one line per request; nullptr: none
  // The videos made at set-up (scripts/make-media.sh); "" when there are none.
  std::string extraMediaDir;
  // Answer /xml.php for the catalogue, as a resolution service would. Off by default: a
  // real resolution service streams the catalogue from the swarm below instead.
  bool standInResolution = false;
  // Every catalogue torrent is seeded over BitTorrent on loopback, the publisher's server
  // tracking the swarm at /announce; the seeder's upload per torrent in bytes a second
  // (0: no cap).
  int seedUploadLimit = 0;
};

class StandInServices {
 public:
  explicit StandInServices(ServicesOptions options);
  ~StandInServices();
  StandInServices(const StandInServices&) = delete;
  StandInServices& operator=(const StandInServices&) = delete;

  // Binds every port, then serves each service on a thread of its own. False (and nothing
  // served) when a port cannot be bound or the catalogue is empty.
  bool Start();
  void Stop();

  // The port of a service; for the resolution service without standInResolution, the port
  // a real one is expected on (0 when the ports are free ones).
  int Port(Service service) const;
  // The port the services' BitTorrent seeder listens on (127.0.0.1).
  int SeederPort() const;
  std::string Host(Service service) const;  // "127.0.0.1:PORT"
  // The build settings a program needs to use these services.
  Settings ProgramSettings(const std::string& runningVersion = "v4.1.7") const;

  // The catalogue's torrents written as NAME.torrent into `dir`; false on a write failure.
  bool WriteTorrents(const std::string& dir) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace morvane::services
