#include "stream/PeerSockets.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

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

// Calls `visit` with each connected TCP socket of this process and the peer it leads to.
void ForEachPeerSocket(const std::function<void(int fd, const sockaddr_storage& peer)>& visit) {
  DIR* folder = ::opendir("/proc/self/fd");
  if (!folder) return;
  const int own = ::dirfd(folder);
  while (const dirent* entry = ::readdir(folder)) {
    char* end = nullptr;
    const int fd = static_cast<int>(std::strtol(entry->d_name, &end, 10));
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    // Told a socket by its link's name, not by fstat: the descriptor is another thread's,
    // which may be connecting it or closing it meanwhile, and is touched only once it is
    // known to be a socket.
    char link[64];
    const std::string path = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t linkLength = ::readlink(path.c_str(), link, sizeof link - 1);
    if (linkLength <= 0 || std::string_view(link, static_cast<std::size_t>(linkLength)).substr(0, 7) != "socket:")
      continue;
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM) continue;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
    visit(fd, peer);
  }
  ::closedir(folder);
}

bool SendPromptly(int fd) {
  const int on = 1;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

// The first look again after this, then twice as long each time, up to a second; a peer
// connected to is given up after the time libtorrent gives a connection.
constexpr auto kFirstRetry = std::chrono::milliseconds(5);
constexpr auto kLongestRetry = std::chrono::seconds(1);
constexpr auto kGiveUp = std::chrono::seconds(15);

}  // namespace

int SendPromptlyTo(const sockaddr* peer, socklen_t length) {
  if (!peer || length < static_cast<socklen_t>(sizeof(sockaddr_in))) return 0;
  int found = 0;
  ForEachPeerSocket([&](int fd, const sockaddr_storage& other) {
    if (SamePeer(other, peer, length) && SendPromptly(fd)) ++found;
  });
  return found;
}

void UnfoundPeers::Add(const sockaddr* peer, socklen_t length, Clock::time_point now) {
  if (!peer || length < static_cast<socklen_t>(sizeof(sockaddr_in)) || length > static_cast<socklen_t>(sizeof(sockaddr_storage)))
    return;
  Peer unfound;
  std::memcpy(&unfound.address, peer, length);
  unfound.length = length;
  unfound.wait = kFirstRetry;
  unfound.due = now + unfound.wait;
  unfound.until = now + kGiveUp;
  peers_.push_back(unfound);
}

void UnfoundPeers::Retry(Clock::time_point now) {
  const auto due = [now](const Peer& peer) { return peer.due <= now; };
  if (std::none_of(peers_.begin(), peers_.end(), due)) return;
  ForEachPeerSocket([&](int fd, const sockaddr_storage& other) {
    for (Peer& peer : peers_)
      if (due(peer) && SamePeer(other, reinterpret_cast<const sockaddr*>(&peer.address), peer.length))
        peer.found = SendPromptly(fd) || peer.found;
  });
  std::erase_if(peers_, [&](const Peer& peer) { return due(peer) && (peer.found || now >= peer.until); });
  for (Peer& peer : peers_) {
    if (!due(peer)) continue;
    peer.wait = std::min<Clock::duration>(peer.wait * 2, kLongestRetry);
    peer.due = now + peer.wait;
  }
}

UnfoundPeers::Clock::time_point UnfoundPeers::NextTry() const {
  Clock::time_point next = Clock::time_point::max();
  for (const Peer& peer : peers_) next = std::min(next, peer.due);
  return next;
}

}  // namespace morvane::stream
