#pragma once
// The cache folder: one folder per torrent named by its info-hash, beside it the torrent's
// resume data ("HASH.resume"). The time a torrent was last played is the resume file's
// modification time, so eviction order survives a restart.

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace morvane::stream {

struct CachedTorrent {
  std::string hash;
  std::filesystem::file_time_type lastUse;
  std::uint64_t bytes = 0;  // allocated on disk
};

struct Eviction {
  std::vector<std::string> evict;  // least recently used first
  bool fits = false;               // false: evict nothing, the bytes cannot fit
};
// Which torrents of `cached` (least recently used first) go so that what they hold plus
// `incoming` bytes stays within `cap`; those in `kept` stay whatever it takes.
Eviction EvictionOrder(const std::vector<CachedTorrent>& cached, const std::set<std::string>& kept,
                       std::uint64_t incoming, std::uint64_t cap);

class CacheFolder {
 public:
  explicit CacheFolder(std::filesystem::path root) : root_(std::move(root)) {}

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path DataDir(const std::string& hash) const { return root_ / hash; }
  std::filesystem::path ResumeFile(const std::string& hash) const {
    return root_ / (hash + ".resume");
  }

  // Every torrent in the folder, least recently used first.
  std::vector<CachedTorrent> List() const;
  // Bytes allocated under `path` (sparse files count what they hold).
  static std::uint64_t DiskUsage(const std::filesystem::path& path);
  // Bytes free for an unprivileged writer of the folder.
  std::uint64_t FreeBytes() const;

  void Touch(const std::string& hash) const;
  bool ReadResume(const std::string& hash, std::vector<char>& data) const;
  void WriteResume(const std::string& hash, const std::vector<char>& data) const;
  void Remove(const std::string& hash) const;

 private:
  std::filesystem::path root_;
};

}  // namespace morvane::stream
