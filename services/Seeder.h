#pragma once
// The services' own BitTorrent seeder: one libtorrent session on loopback that seeds every
// catalogue torrent straight from the media files the services already serve. No DHT, no
// local peer discovery, no UPnP or NAT-PMP: peers find it through the stand-in tracker only.

#include <memory>
#include <vector>

#include "services/Catalogue.h"

namespace morvane::services {

class Seeder {
 public:
  Seeder();
  ~Seeder();
  Seeder(const Seeder&) = delete;
  Seeder& operator=(const Seeder&) = delete;

  // Starts seeding on 127.0.0.1 (a free port). `uploadLimit` caps each torrent's upload in
  // bytes a second (0: no cap), to play a slow swarm. False when the session cannot listen
  // or a torrent is refused.
  bool Start(const std::vector<CatalogueEntry>& entries, int uploadLimit);
  int Port() const;
  void Stop();

 private:
  struct Session;
  std::unique_ptr<Session> session_;
};

}  // namespace morvane::services
