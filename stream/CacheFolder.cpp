#include "stream/CacheFolder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "stream/StreamOptions.h"

namespace fs = std::filesystem;

namespace morvane::stream {

namespace {

bool IsHash(const std::string& name) {
  return name.size() == 40 &&
         std::all_of(name.begin(), name.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::string DefaultCacheDir() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/morvane/stream";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.cache/morvane/stream";
}

Eviction EvictionOrder(const std::vector<CachedTorrent>& cached, const std::set<std::string>& kept,
                       std::uint64_t incoming, std::uint64_t cap) {
  Eviction eviction;
  std::uint64_t total = incoming;
  for (const CachedTorrent& c : cached) total += c.bytes;
  for (const CachedTorrent& c : cached) {
    if (total <= cap) break;
    if (kept.contains(c.hash)) continue;
    eviction.evict.push_back(c.hash);
    total -= std::min(total, c.bytes);
  }
  eviction.fits = total <= cap;
  if (!eviction.fits) eviction.evict.clear();
  return eviction;
}

std::uint64_t CacheFolder::DiskUsage(const fs::path& path) {
  std::uint64_t total = 0;
  std::error_code ec;
  auto add = [&total](const fs::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      total += static_cast<std::uint64_t>(st.st_blocks) * 512;
  };
  if (!fs::is_directory(path, ec)) {
    add(path);
    return total;
  }
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
    add(it->path());
  return total;
}

std::vector<CachedTorrent> CacheFolder::List() const {
  std::vector<CachedTorrent> torrents;
  std::error_code ec;
  for (fs::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!IsHash(name) || !it->is_directory(ec)) continue;
    CachedTorrent t;
    t.hash = name;
    std::error_code timeError;
    t.lastUse = fs::last_write_time(ResumeFile(name), timeError);
    if (timeError) t.lastUse = fs::last_write_time(it->path(), timeError);
    t.bytes = DiskUsage(it->path());
    torrents.push_back(std::move(t));
  }
  std::sort(torrents.begin(), torrents.end(),
            [](const CachedTorrent& a, const CachedTorrent& b) { return a.lastUse < b.lastUse; });
  return torrents;
}

std::uint64_t CacheFolder::FreeBytes() const {
  std::error_code ec;
  const fs::space_info space = fs::space(root_, ec);
  return ec ? 0 : space.available;
}

void CacheFolder::Touch(const std::string& hash) const {
  std::error_code ec;
  fs::create_directories(DataDir(hash), ec);
  fs::last_write_time(DataDir(hash), fs::file_time_type::clock::now(), ec);
  if (fs::exists(ResumeFile(hash), ec))
    fs::last_write_time(ResumeFile(hash), fs::file_time_type::clock::now(), ec);
}

bool CacheFolder::ReadResume(const std::string& hash, std::vector<char>& data) const {
  constexpr std::uintmax_t kMaxResumeBytes = 64u << 20;  // info dict of a huge torrent included
  std::error_code ec;
  const auto size = fs::file_size(ResumeFile(hash), ec);
  if (ec || size == 0 || size > kMaxResumeBytes) return false;
  std::ifstream in(ResumeFile(hash), std::ios::binary);
  data.resize(size);
  return static_cast<bool>(in.read(data.data(), static_cast<std::streamsize>(size)));
}

void CacheFolder::WriteResume(const std::string& hash, const std::vector<char>& data) const {
  // Written aside and renamed, so a crash never leaves half a resume file.
  std::error_code ec;
  if (!fs::is_directory(DataDir(hash), ec)) return;  // evicted or stopped meanwhile
  const fs::path aside = root_ / (hash + ".resume.new");
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) return;
  }
  fs::rename(aside, ResumeFile(hash), ec);
}

void CacheFolder::Remove(const std::string& hash) const {
  std::error_code ec;
  fs::remove_all(DataDir(hash), ec);
  fs::remove(ResumeFile(hash), ec);
  fs::remove(root_ / (hash + ".resume.new"), ec);
}

}  // namespace morvane::stream
