#include "stream/PeerSockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <string>

namespace morvane::stream {
namespace {

// A socket that closes with the test.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

sockaddr_storage Loopback(int family) {
  sockaddr_storage address{};
  if (family == AF_INET) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
  }
  return address;
}

socklen_t LengthOf(int family) { return family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6); }

sockaddr_storage NameOf(int fd, bool peer) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (peer)
    ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
  else
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return address;
}

bool Prompt(int fd) {
  int on = 0;
  socklen_t length = sizeof on;
  return ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length) == 0 && on != 0;
}

// A listener and one connection to it: both ends.
struct Pair {
  Fd listener, client, accepted;
  bool Open(int family) {
    listener.fd = ::socket(family, SOCK_STREAM, 0);
    sockaddr_storage address = Loopback(family);
    if (::bind(listener.fd, reinterpret_cast<sockaddr*>(&address), LengthOf(family)) != 0 ||
        ::listen(listener.fd, 4) != 0)
      return false;
    address = NameOf(listener.fd, false);
    client.fd = ::socket(family, SOCK_STREAM, 0);
    if (::connect(client.fd, reinterpret_cast<sockaddr*>(&address), LengthOf(family)) != 0) return false;
    accepted.fd = ::accept(listener.fd, nullptr, nullptr);
    return accepted.fd >= 0;
  }
};

TEST(PeerSocketsTest, OnlyTheSocketsConnectedToThePeerSendPromptly) {
  for (const int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
    Pair named, other;
    if (!named.Open(family) || !other.Open(family)) {
      if (family == AF_INET6) continue;  // no IPv6 loopback on this machine
      FAIL() << "no loopback connection";
    }
    struct Case {
      const char* what;
      sockaddr_storage peer;
      int found;
      bool client, accepted;  // which end of `named` sends promptly afterwards
    } cases[] = {
        {"nobody is connected there", Loopback(family), 0, false, false},
        {"an incoming connection, by the peer's address and port", NameOf(named.client.fd, false), 1,
         false, true},
        {"an outgoing connection, by the address it reached", NameOf(named.listener.fd, false), 1,
         true, true},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      EXPECT_EQ(SendPromptlyTo(reinterpret_cast<const sockaddr*>(&c.peer), LengthOf(family)), c.found);
      EXPECT_EQ(Prompt(named.client.fd), c.client);
      EXPECT_EQ(Prompt(named.accepted.fd), c.accepted);
      EXPECT_FALSE(Prompt(other.client.fd)) << "a connection to another port of the same address";
      EXPECT_FALSE(Prompt(other.accepted.fd));
    }
  }
}

TEST(PeerSocketsTest, APeerConnectedToAfterItWasReportedIsFoundOnALaterLook) {
  using Clock = UnfoundPeers::Clock;
  using namespace std::chrono_literals;
  Pair later;
  later.listener.fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_storage address = Loopback(AF_INET);
  ASSERT_EQ(::bind(later.listener.fd, reinterpret_cast<sockaddr*>(&address), LengthOf(AF_INET)), 0);
  ASSERT_EQ(::listen(later.listener.fd, 4), 0);
  address = NameOf(later.listener.fd, false);
  const sockaddr_storage nobody = Loopback(AF_INET);  // port 0: never connected to

  // Reported as the connection starts, before its socket has a peer.
  const auto start = Clock::now();
  UnfoundPeers unfound;
  EXPECT_EQ(unfound.NextTry(), Clock::time_point::max());
  unfound.Add(reinterpret_cast<const sockaddr*>(&address), LengthOf(AF_INET), start);
  unfound.Add(reinterpret_cast<const sockaddr*>(&nobody), LengthOf(AF_INET), start);
  EXPECT_LE(unfound.NextTry(), start + 10ms) << "looked for again soon";
  later.client.fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(later.client.fd, reinterpret_cast<sockaddr*>(&address), LengthOf(AF_INET)), 0);
  EXPECT_FALSE(Prompt(later.client.fd));
  unfound.Retry(start + 1ms);
  EXPECT_FALSE(Prompt(later.client.fd)) << "not due yet";
  unfound.Retry(unfound.NextTry());
  EXPECT_TRUE(Prompt(later.client.fd)) << "found once connected";

  // The peer never connected to is looked for less and less often, then given up.
  Clock::time_point at = unfound.NextTry();
  Clock::duration gap{};
  for (int i = 0; i < 6; ++i) {
    unfound.Retry(at);
    ASSERT_FALSE(unfound.empty());
    EXPECT_GT(unfound.NextTry() - at, gap);
    gap = unfound.NextTry() - at;
    at = unfound.NextTry();
  }
  unfound.Retry(start + 15s);
  EXPECT_TRUE(unfound.empty());
  EXPECT_EQ(unfound.NextTry(), Clock::time_point::max());
}

TEST(PeerSocketsTest, AnAddressTooShortOrMissingFindsNothing) {
  const sockaddr_storage address = Loopback(AF_INET);
  EXPECT_EQ(SendPromptlyTo(nullptr, sizeof(sockaddr_in)), 0);
  EXPECT_EQ(SendPromptlyTo(reinterpret_cast<const sockaddr*>(&address), 2), 0);
}

}  // namespace
}  // namespace morvane::stream
