// One client must not stall the others: under each of the floods a hostile client can make
// (heads that never end, .torrent bodies that drip, magnets nobody seeds), another client's
// status is answered long before the flood's own time-outs would free anything, and the
// service still stops without waiting them out.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "tests/stream/StreamFixture.h"
#include "tests/support/DrippingServer.h"

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The flooding client's own loopback address.
constexpr const char* kFlooder = "127.0.0.2";

int ConnectFrom(int port, const char* from) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &source.sin_addr);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string Hash(int i) {
  char hex[41];
  std::snprintf(hex, sizeof hex, "%040x", i + 1);
  return hex;
}

enum class Flood { kSlowHeads, kDrippingBodies, kUnseededMagnets };

using FloodTest = StreamFixture;

TEST_F(FloodTest, AnotherClientIsAnsweredAndTheServiceStillStops) {
  DrippingServer dripping;
  struct Case {
    const char* what;
    Flood flood;
    int count;
  } cases[] = {
      {"heads that never end", Flood::kSlowHeads, 100},
      {".torrent bodies that drip", Flood::kDrippingBodies, 16},
      {"magnets nobody seeds", Flood::kUnseededMagnets, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartService();  // metadata and stall time-outs of 20 s, heads of 10 s, bodies of 30 s
    std::vector<int> flood;
    for (int i = 0; i < c.count; ++i) {
      const int fd = ConnectFrom(Port(), kFlooder);
      ASSERT_GE(fd, 0);
      std::string request;
      switch (c.flood) {
        case Flood::kSlowHeads:
          request = "GET /status/" + Hash(i) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
          break;
        case Flood::kDrippingBodies:
          request = "GET /xml.php?url=" + dripping.base() + "/" + std::to_string(i) + ".torrent HTTP/1.1\r\n\r\n";
          break;
        case Flood::kUnseededMagnets:
          request = "GET /xml.php?url=magnet:?xt=urn:btih:" + Hash(i) + " HTTP/1.1\r\n\r\n";
          break;
      }
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      flood.push_back(fd);
    }
    if (c.flood == Flood::kDrippingBodies) {
      // The service's fetches are under way (as many as its slow workers take).
      for (int i = 0; i < 500 && dripping.connections() < 8; ++i) std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(300ms);
    for (int ping = 0; ping < 5; ++ping) {
      const auto asked = Clock::now();
      const RawAnswer status = RawRequest(Port(), "GET", "/status/" + Hash(1000 + ping), "", 8s);
      EXPECT_EQ(status.status, 404) << "ping " << ping;
      // Long before any of the flood's time-outs frees a worker.
      EXPECT_LT(Clock::now() - asked, 5s) << "ping " << ping;
    }
    const auto stopping = Clock::now();
    StopService();
    EXPECT_LT(Clock::now() - stopping, 10s) << "the stop waited out the flood";
    for (const int fd : flood) ::close(fd);
    std::filesystem::remove_all(Cache());
  }
}

}  // namespace
}  // namespace morvane::testing
