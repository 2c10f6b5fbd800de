#include "stream/PeerSockets.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

// Turns Nagle's algorithm off on the TCP sockets of this process connected to any of
// `peers`; `found[i]` counts those of peers[i].
void SendPromptly(const std::vector<const sockaddr*>& peers, const std::vector<socklen_t>& lengths,
                  std::vector<int>& found) {
  found.assign(peers.size(), 0);
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
    sockaddr_storage other{};
    socklen_t otherLength = sizeof other;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&other), &otherLength) != 0) continue;
    for (std::size_t i = 0; i < peers.size(); ++i) {
      if (!SamePeer(other, peers[i], lengths[i])) continue;
      const int on = 1;
      if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) ++found[i];
    }
  }
  ::closedir(folder);
}

// The first look again after this, then twice as long each time, up to a second; a peer
// connected to is given up after the time libtorrent gives a connection.
constexpr auto kFirstRetry = std::chrono::milliseconds(5);
constexpr auto kLongestRetry = std::chrono::seconds(1);
constexpr auto kGiveUp = std::chrono::seconds(15);

}  // namespace

int SendPromptlyTo(const sockaddr* peer, socklen_t length) {
  if (!peer || length < static_cast<socklen_t>(sizeof(sockaddr_in))) return 0;
  std::vector<int> found;
  SendPromptly({peer}, {length}, found);
  return found[0];
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
  std::vector<const sockaddr*> due;
  std::vector<socklen_t> lengths;
  std::vector<std::size_t> which;
  for (std::size_t i = 0; i < peers_.size(); ++i) {
    if (peers_[i].due > now) continue;
    due.push_back(reinterpret_cast<const sockaddr*>(&peers_[i].address));
    lengths.push_back(peers_[i].length);
    which.push_back(i);
  }
  if (due.empty()) return;
  std::vector<int> found;
  SendPromptly(due, lengths, found);
  for (std::size_t k = 0; k < which.size(); ++k) {
    Peer& peer = peers_[which[k]];
    if (found[k] > 0 || now >= peer.until) {
      peer.until = Clock::time_point::min();  // done with
      continue;
    }
    peer.wait = std::min<Clock::duration>(peer.wait * 2, kLongestRetry);
    peer.due = now + peer.wait;
  }
  std::erase_if(peers_, [](const Peer& peer) { return peer.until == Clock::time_point::min(); });
}

UnfoundPeers::Clock::time_point UnfoundPeers::NextTry() const {
  Clock::time_point next = Clock::time_point::max();
  for (const Peer& peer : peers_) next = std::min(next, peer.due);
  return next;
}

}  // namespace morvane::stream
