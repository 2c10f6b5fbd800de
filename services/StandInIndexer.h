#pragma once
// A Torznab indexer over the catalogue, standing in for the Jackett or Prowlarr a user runs.
// It answers under both programs' paths, wants a key, refuses a wrong one in each program's
// way (Jackett: 200 with <error code="100"/>; Prowlarr: 401), and hands out every kind of
// item a real indexer does, so that each way from an item to a magnet link is walked:
//
//   item i % 5 == 0  magneturl: a magnet link (with the infohash attribute beside it)
//                 1  magneturl: a download address of its own that redirects (301) to the magnet link
//                 2  infohash only, and a link to the .torrent
//                 3  link and enclosure: a download address that redirects (302) to the magnet link
//                 4  link and enclosure: a download address that answers the .torrent file
//
// Download addresses carry the key, as the real ones do. The access log shows every key
// parameter as "***".

#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "services/Catalogue.h"

namespace morvane::services {

// The key of the run command's indexer; tests choose their own.
inline constexpr char kStandInIndexerKey[] = "5f0c2b8e9a4d4e7fb1c6d3a2e8f90b17";

class StandInIndexer {
 public:
  // Serves `catalogue`, which must outlive the indexer; its magnet links name the tracker
  // `announce` (the catalogue's torrents announce there). `log` (may be null) gets one line
  // per request, under `logMutex` when given.
  StandInIndexer(const Catalogue& catalogue, std::string key, std::string announce,
                 std::ostream* log = nullptr, std::mutex* logMutex = nullptr);
  ~StandInIndexer();
  StandInIndexer(const StandInIndexer&) = delete;
  StandInIndexer& operator=(const StandInIndexer&) = delete;

  // Binds 127.0.0.1:port (0: a free port) and serves on a thread of its own; false when
  // the port cannot be bound.
  bool Start(int port);
  void Stop();
  int Port() const;

  // The Torznab addresses as each program shows them to its user.
  std::string JackettAddress() const { return JackettAddressAt(Port()); }
  std::string ProwlarrAddress() const { return ProwlarrAddressAt(Port()); }

  // http://127.0.0.1:P/api/v2.0/indexers/morvane/results/torznab/
  static std::string JackettAddressAt(int port);
  // http://127.0.0.1:P/1/api
  static std::string ProwlarrAddressAt(int port);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// An indexer file (the program's indexers.conf) naming the indexer on `port` under both
// paths with `key`.
std::string StandInIndexerFile(int port, const std::string& key);

}  // namespace morvane::services
