#include "media/ByteSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace morvane::media {

namespace {

struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

ByteSource FileByteSource(const std::string& path) {
  auto file = std::make_shared<FileDescriptor>();
  file->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ByteSource source;
  const auto slash = path.find_last_of('/');
  source.name = slash == std::string::npos ? path : path.substr(slash + 1);
  struct stat status {};
  if (file->fd >= 0 && ::fstat(file->fd, &status) == 0)
    source.size = static_cast<std::uint64_t>(status.st_size);
  source.readAt = [file](std::uint64_t offset, char* buffer, std::size_t length) -> std::int64_t {
    if (file->fd < 0) return -1;
    for (;;) {
      const ssize_t n = ::pread(file->fd, buffer, length, static_cast<off_t>(offset));
      if (n >= 0 || errno != EINTR) return n;
    }
  };
  return source;
}

ByteSource MemoryByteSource(std::string bytes, std::string name) {
  auto held = std::make_shared<const std::string>(std::move(bytes));
  ByteSource source;
  source.size = held->size();
  source.name = std::move(name);
  source.readAt = [held](std::uint64_t offset, char* buffer, std::size_t length) -> std::int64_t {
    if (offset >= held->size()) return 0;
    const std::size_t n = std::min<std::size_t>(length, held->size() - offset);
    std::memcpy(buffer, held->data() + offset, n);
    return static_cast<std::int64_t>(n);
  };
  return source;
}

}  // namespace morvane::media
