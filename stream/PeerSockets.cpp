#include "stream/PeerSockets.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

namespace morvane::stream {

namespace {

bool SamePeer(const sockaddr_storage& a, const sockaddr* b, socklen_t length) {
  if (a.ss_family != b->sa_family) return false;
  if (a.ss_family == AF_INET) {
    const auto& x = reinterpret_cast<const sockaddr_in&>(a);
    const auto& y = *reinterpret_cast<const sockaddr_in*>(b);
    return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
  }
  if (a.ss_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const auto& x = reinterpret_cast<const sockaddr_in6&>(a);
    const auto& y = *reinterpret_cast<const sockaddr_in6*>(b);
    return x.sin6_port == y.sin6_port &&
           std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
  }
  return false;
}

}  // namespace

int SendPromptlyTo(const sockaddr* peer, socklen_t length) {
  if (!peer || length < static_cast<socklen_t>(sizeof(sockaddr_in))) return 0;
  DIR* folder = ::opendir("/proc/self/fd");
  if (!folder) return 0;
  const int own = ::dirfd(folder);
  int found = 0;
  while (const dirent* entry = ::readdir(folder)) {
    char* end = nullptr;
    const int fd = static_cast<int>(std::strtol(entry->d_name, &end, 10));
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    struct stat info {};
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode) ||
        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM)
      continue;
    sockaddr_storage other{};
    socklen_t otherLength = sizeof other;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&other), &otherLength) != 0 || !SamePeer(other, peer, length))
      continue;
    const int on = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) ++found;
  }
  ::closedir(folder);
  return found;
}

}  // namespace morvane::stream
