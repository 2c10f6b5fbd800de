// The service's fetches on a caller's behalf: a whole-body deadline a dripping server cannot
// stretch, an end when the caller leaves, and the address rule applied to every connection,
// the redirect's included.

#include "stream/CurlTransfer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/DrippingServer.h"
#include "tests/support/LocalServer.h"

namespace morvane::stream {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int PortOf(const sockaddr* address) {
  return address->sa_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port) : 0;
}

TEST(CurlTransferTest, ADrippingBodyEndsAtTheDeadlineOrWhenTheCallerLeaves) {
  testing::DrippingServer dripping;
  struct Case {
    const char* what;
    std::chrono::milliseconds deadline;
    std::chrono::milliseconds cancelAfter;  // 0: never
  } cases[] = {
      {"the whole-body deadline", 1500ms, 0ms},
      {"the caller leaves", 60s, 500ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto started = Clock::now();
    TransferRules rules;
    rules.deadline = c.deadline;
    if (c.cancelAfter.count() > 0)
      rules.cancelled = [&] { return Clock::now() - started > c.cancelAfter; };
    EXPECT_FALSE(FetchSmallFile(dripping.base() + "/a.torrent", 10 << 20, rules));
    // Without either the transfer goes on: a byte a second passes the stall limit.
    EXPECT_LT(Clock::now() - started, 10s);
  }
  EXPECT_EQ(TransferRules{}.deadline, kSmallFileDeadline);
  EXPECT_EQ(kSmallFileDeadline, 30s);
}

TEST(CurlTransferTest, EveryConnectionIsChecked) {
  testing::LocalServer target;
  std::atomic<int> reached{0};
  target.server().Get("/a.torrent", [&](const httplib::Request&, httplib::Response& response) {
    ++reached;
    response.set_content("d4:infod4:name1:xee", "application/x-bittorrent");
  });
  target.Start();
  testing::LocalServer redirecting;
  redirecting.server().Get("/moved.torrent", [&](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(target.base() + "/a.torrent");
  });
  redirecting.Start();
  const int refusedPort = target.port();

  struct Case {
    const char* what;
    std::string address;
    bool refuse;
    bool fetched;
  } cases[] = {
      {"no rule", redirecting.base() + "/moved.torrent", false, true},
      {"a redirect to a refused address", redirecting.base() + "/moved.torrent", true, false},
      {"a refused address itself", target.base() + "/a.torrent", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reached = 0;
    TransferRules rules;
    if (c.refuse) rules.refuseAddress = [&](const sockaddr* a) { return PortOf(a) == refusedPort; };
    const auto body = FetchSmallFile(c.address, 1 << 20, rules);
    EXPECT_EQ(body.has_value(), c.fetched);
    EXPECT_EQ(reached, c.fetched ? 1 : 0);
    EXPECT_EQ(RemoteSize(c.address, rules) >= 0, c.fetched);
  }
}

}  // namespace
}  // namespace morvane::stream
