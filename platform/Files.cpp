#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <random>
#include <system_error>

namespace morvane {
namespace {

std::string ParentDirectory(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A name beside `path` that no other writer (another thread, another run) picks at the
// same time; the file is created exclusively, so a clash only costs a retry.
int CreateSiblingFile(const std::string& path, std::string& name) {
  static std::atomic<unsigned> counter{0};
  thread_local std::mt19937 random{std::random_device{}()};
  for (int attempt = 0; attempt < 16; ++attempt) {
    name = path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(random() % 1000000);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// A regular file of at most `maxBytes`.
bool IsReadableSize(const struct stat& info, std::size_t maxBytes) {
  return S_ISREG(info.st_mode) && info.st_size >= 0 &&
         static_cast<std::uintmax_t>(info.st_size) <= maxBytes;
}

// The rest of an open regular file; nothing when it is not one, cannot be read, or holds
// (or has grown to) more than `maxBytes`.
std::optional<std::string> ReadAll(int fd, std::size_t maxBytes) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !IsReadableSize(info, maxBytes)) return std::nullopt;
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0) return bytes;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (static_cast<std::size_t>(n) > maxBytes - bytes.size()) return std::nullopt;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
}

// The kernel's own limit on links followed in one path look-up.
constexpr int kMaxLinkHops = 40;

// Where a write to `path` lands: the path itself, or the end of the chain of symbolic links
// that starts there (which need not exist yet). Nothing for a loop or an unreadable link.
std::optional<std::string> FollowLinks(std::string path) {
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
      if (errno == ENOENT) return path;
      return std::nullopt;
    }
    if (!S_ISLNK(info.st_mode)) return path;
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(path, error);
    if (error) return std::nullopt;
    path = target.is_absolute() ? target.string() : ParentDirectory(path) + "/" + target.string();
  }
  return std::nullopt;
}

}  // namespace

std::string RunningProgramPath() {
  std::error_code error;
  std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
  return error ? std::string() : path;
}

std::string ProgramDirectory() {
  const std::string program = RunningProgramPath();
  return program.empty() ? "." : ParentDirectory(program);
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    // A write that takes nothing would never end the loop.
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::string> ReadWholeFile(const std::string& path, std::size_t maxBytes) {
  // Looked at before it is opened: opening a FIFO waits for a writer, and a device may act
  // on being opened.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !IsReadableSize(info, maxBytes)) return std::nullopt;
  // Should the name have been swapped for a FIFO since, the open does not wait for it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> bytes = ReadAll(fd, maxBytes);
  ::close(fd);
  return bytes;
}

bool WriteWholeFile(const std::string& path, std::string_view bytes, FileAccess access) {
  const std::optional<std::string> target = FollowLinks(path);
  if (!target) return false;
  struct stat old {};
  const bool replacing = ::stat(target->c_str(), &old) == 0;
  if (replacing && !S_ISREG(old.st_mode)) return false;

  std::string temporary;
  const int fd = CreateSiblingFile(*target, temporary);
  if (fd < 0) return false;
  // A replaced file keeps its permissions; a new one gets the usual ones (0666 less umask).
  bool ok = access == FileAccess::kOwnerOnly ? ::fchmod(fd, S_IRUSR | S_IWUSR) == 0
                                             : !replacing || ::fchmod(fd, old.st_mode & 07777) == 0;
  ok = ok && WriteAll(fd, bytes) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temporary.c_str(), target->c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // Makes the rename itself survive a power cut; the content is already on disk.
  const int directory =
      ::open(ParentDirectory(*target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
  return true;
}

}  // namespace morvane
