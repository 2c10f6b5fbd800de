#pragma once
// A BitTorrent seeder inside the test process: it writes files of known bytes, makes a
// torrent of them and seeds it from a libtorrent session of its own on 127.0.0.1 (no DHT,
// local discovery, UPnP or NAT-PMP), so tests and benchmarks have a swarm without the
// network. Downloaders reach it through the magnet link's x.pe peer address.

#include <cstdint>
#include <filesystem>
#include <libtorrent/settings_pack.hpp>
#include <memory>
#include <string>
#include <vector>

namespace morvane::testing {

struct SeedFile {
  std::string path;  // inside the torrent: "movie.mp4", "extras/notes.txt"
  std::int64_t size = 0;
  std::string bytes = {};  // when not empty, the file holds these instead of known bytes of `size`
};

struct SeederOptions {
  int pieceLength = 64 << 10;
  int uploadLimit = 0;  // bytes a second for this torrent; 0: none
  bool v1Only = false;  // a v1 torrent: pad files only when `padFiles`
  bool padFiles = true;
  // Pieces whose bytes are spoiled on disk once the torrent is made: the seeder checks its
  // files instead of assuming them, so it lacks these pieces and never sends them (and
  // SourcePath's file differs from the torrent's there).
  std::vector<int> missingPieces = {};
};

class Seeder {
 public:
  // Writes `files` under `folder`/`name` (a single file when `files` has one entry whose
  // path is `name`), makes the torrent and starts seeding it.
  Seeder(const std::filesystem::path& folder, const std::string& name,
         const std::vector<SeedFile>& files, SeederOptions options = {});
  ~Seeder();
  Seeder(const Seeder&) = delete;
  Seeder& operator=(const Seeder&) = delete;

  int Port() const;
  std::string InfoHashHex() const;                // v1, 40 lowercase hex digits
  std::string MagnetLink(bool withPeer = true) const;  // with x.pe=127.0.0.1:PORT
  const std::vector<char>& TorrentBytes() const;
  std::filesystem::path WriteTorrentFile(const std::filesystem::path& path) const;
  std::filesystem::path SourcePath(const std::string& path) const;  // a file's bytes on disk
  void SetUploadLimit(int bytesPerSecond);
  // Calls the downloader whose session listens on 127.0.0.1:`port`: how the swarm reaches a
  // service that calls no peer on this machine for its caller.
  void Connect(int port);
  // Bytes uploaded to peers so far.
  std::int64_t Uploaded() const;
  // Bytes its peers have asked for and it has not sent yet: in its send buffers, and
  // requests not yet read from disk (at a block each). What a peer sends before a request
  // that comes now.
  std::int64_t Owed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Settings of a libtorrent session that stays on loopback: listening on 127.0.0.1, no DHT,
// local discovery, UPnP or NAT-PMP.
libtorrent::settings_pack LoopbackSessionSettings();

// The known bytes of a seeded file: the same `seed` and `size` give the same bytes.
void WriteKnownBytes(const std::filesystem::path& path, std::int64_t size, std::uint64_t seed);

// Whether two files hold the same bytes.
bool SameBytes(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace morvane::testing
