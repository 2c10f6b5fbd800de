#include "tests/support/HeldLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace morvane::testing {

namespace {

using Clock = std::chrono::steady_clock;

// What the link may send at once after a pause: one block of the protocol, about what a
// link's queue lets through back to back.
constexpr double kBurstBytes = 16 << 10;
// Kernel buffers on the relay's side of each connection: small, so that what the link
// cannot carry yet stays in the sender, not in a loopback socket of megabytes.
constexpr int kSocketBuffer = 32 << 10;
constexpr std::size_t kChunk = 64 << 10;

void Small(int fd) {
  const int size = kSocketBuffer;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

struct Connection {
  int client = -1;
  int upstream = -1;
  std::string toUpstream, toClient;
  bool done = false;
  ~Connection() {
    if (client >= 0) ::close(client);
    if (upstream >= 0) ::close(upstream);
  }
};

// Sends what it can of `pending`; false when the socket failed.
bool Flush(int fd, std::string& pending) {
  while (!pending.empty()) {
    const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    pending.erase(0, static_cast<std::size_t>(n));
  }
  return true;
}

// Reads at most `most` bytes onto `into`; false at the end or on failure.
bool Fill(int fd, std::string& into, std::size_t most) {
  char buffer[kChunk];
  const ssize_t n = ::recv(fd, buffer, std::min(most, sizeof buffer), MSG_DONTWAIT);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

}  // namespace

struct HeldLink::Impl {
  int targetPort = 0;
  int listener = -1;
  int wake = -1;
  int port = 0;
  std::atomic<std::int64_t> rate{0};
  std::atomic<std::int64_t> carried{0};
  std::atomic<bool> quit{false};
  std::thread thread;

  void Run() {
    std::list<Connection> connections;
    double tokens = kBurstBytes;
    Clock::time_point refilled = Clock::now();
    while (!quit) {
      const std::int64_t bytesPerSecond = rate;
      const auto now = Clock::now();
      if (bytesPerSecond > 0) {
        tokens = std::min(kBurstBytes, tokens + std::chrono::duration<double>(now - refilled).count() *
                                                    static_cast<double>(bytesPerSecond));
      }
      refilled = now;
      const bool mayCarry = bytesPerSecond <= 0 || tokens >= 1;

      std::vector<pollfd> fds{{listener, POLLIN, 0}, {wake, POLLIN, 0}};
      for (Connection& c : connections) {
        short clientEvents = 0, upstreamEvents = 0;
        if (c.toUpstream.size() < kChunk) clientEvents |= POLLIN;
        if (!c.toClient.empty()) clientEvents |= POLLOUT;
        if (c.toClient.empty() && mayCarry) upstreamEvents |= POLLIN;
        if (!c.toUpstream.empty()) upstreamEvents |= POLLOUT;
        fds.push_back({c.client, clientEvents, 0});
        fds.push_back({c.upstream, upstreamEvents, 0});
      }
      // Waiting for the bucket: until a packet's worth is in it.
      int timeout = 100;
      if (!mayCarry) timeout = std::max(1, static_cast<int>(1500.0 * 1000 / static_cast<double>(bytesPerSecond)));
      if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;

      std::size_t i = 2;
      for (Connection& c : connections) {
        const short clientReady = fds[i++].revents, upstreamReady = fds[i++].revents;
        if (clientReady & (POLLIN | POLLHUP | POLLERR))
          c.done = c.done || !Fill(c.client, c.toUpstream, kChunk - c.toUpstream.size());
        if (upstreamReady & (POLLIN | POLLHUP | POLLERR)) {
          std::size_t most = kChunk;
          if (bytesPerSecond > 0) most = static_cast<std::size_t>(std::max(1.0, tokens));
          const std::size_t before = c.toClient.size();
          c.done = c.done || !Fill(c.upstream, c.toClient, most);
          const std::size_t got = c.toClient.size() - before;
          if (bytesPerSecond > 0) tokens -= static_cast<double>(got);
          carried += static_cast<std::int64_t>(got);
        }
        if (!c.toUpstream.empty()) c.done = c.done || !Flush(c.upstream, c.toUpstream);
        if (!c.toClient.empty()) c.done = c.done || !Flush(c.client, c.toClient);
      }
      connections.remove_if([](const Connection& c) { return c.done; });
      if (fds[0].revents & POLLIN) Accept(connections);
    }
  }

  void Accept(std::list<Connection>& connections) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    Connection& c = connections.emplace_back();
    c.client = client;
    Small(client);
    c.upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Small(c.upstream);  // before connecting: the window is agreed on then
    const sockaddr_in target = Loopback(targetPort);
    if (::connect(c.upstream, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) c.done = true;
  }
};

HeldLink::HeldLink(int targetPort, std::int64_t bytesPerSecond) : impl_(std::make_unique<Impl>()) {
  impl_->targetPort = targetPort;
  impl_->rate = bytesPerSecond;
  impl_->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (::bind(impl_->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(impl_->listener, 16) != 0 ||
      ::getsockname(impl_->listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("the held link cannot listen");
  impl_->port = ntohs(address.sin_port);
  impl_->wake = ::eventfd(0, EFD_CLOEXEC);
  impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
}

HeldLink::~HeldLink() {
  impl_->quit = true;
  const std::uint64_t one = 1;
  if (::write(impl_->wake, &one, sizeof one) < 0) {
  }
  impl_->thread.join();
  ::close(impl_->wake);
  ::close(impl_->listener);
}

int HeldLink::Port() const { return impl_->port; }

void HeldLink::SetRate(std::int64_t bytesPerSecond) { impl_->rate = bytesPerSecond; }

std::int64_t HeldLink::Carried() const { return impl_->carried; }

}  // namespace morvane::testing
