// The resolution service's own server under load: thousands of requests leave no threads or
// memory behind, and slow clients are dropped at their deadline without holding up others.

#include "services/PlainHttpServer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/RawHttp.h"

namespace morvane::services {
namespace {

using namespace std::chrono_literals;
using morvane::testing::ConnectLoopback;
using morvane::testing::RawExchange;

std::size_t CountLines(const char* path) {
  std::ifstream in(path);
  std::size_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

std::size_t CountThreads() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++n;
  return n;
}

class RunningServer {
 public:
  explicit RunningServer(PlainServerLimits limits = {})
      : server_([](const std::string&, const std::string& target) {
                  return PlainResponse{200, "text/plain", "seen " + target};
                },
                nullptr, limits) {
    port_ = server_.Bind(0);
    thread_ = std::thread([this] { server_.Serve(); });
  }
  ~RunningServer() {
    server_.Stop();
    thread_.join();
  }
  int port() const { return port_; }

 private:
  PlainHttpServer server_;
  std::thread thread_;
  int port_ = -1;
};

bool Answered(const std::string& answer, const std::string& target) {
  return answer.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 &&
         answer.find("\r\n\r\nseen " + target) != std::string::npos;
}

TEST(PlainHttpServer, ThousandsOfRequestsLeaveNoThreadsOrMappingsBehind) {
  RunningServer server;
  ASSERT_GT(server.port(), 0);
  // Warm up, so what the first requests set up once is not counted.
  ASSERT_TRUE(Answered(RawExchange(server.port(), "GET /warm HTTP/1.1\r\n\r\n"), "/warm"));
  const std::size_t mappings = CountLines("/proc/self/maps");
  const std::size_t threads = CountThreads();

  // Each kept thread held two mappings (its stack and guard page), which is what ran the
  // process out of them after some 32,700 requests.
  constexpr int kRequests = 3000;
  for (int i = 0; i < kRequests; ++i) {
    const std::string target = "/xml.php?url=magnet:?xt=" + std::to_string(i);
    ASSERT_TRUE(Answered(RawExchange(server.port(), "GET " + target + " HTTP/1.1\r\n\r\n"), target))
        << "request " << i;
  }
  EXPECT_LT(CountLines("/proc/self/maps"), mappings + 100);
  EXPECT_LE(CountThreads(), threads);
}

TEST(PlainHttpServer, SlowClientsAreDroppedAtTheirDeadlineWhileOthersAreServed) {
  PlainServerLimits limits;
  limits.readTimeout = 700ms;
  RunningServer server(limits);
  ASSERT_GT(server.port(), 0);

  // Half send a byte every 50 ms and would never finish; half send nothing at all.
  constexpr int kSlow = 16;
  std::vector<int> slow;
  for (int i = 0; i < kSlow; ++i) {
    const int fd = ConnectLoopback(server.port());
    ASSERT_GE(fd, 0);
    slow.push_back(fd);
  }
  const auto start = std::chrono::steady_clock::now();
  const auto trickle = [&] {
    for (int i = 0; i < kSlow; i += 2)
      if (slow[i] >= 0) ::send(slow[i], "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  };
  trickle();
  EXPECT_TRUE(Answered(RawExchange(server.port(), "GET /quick HTTP/1.1\r\n\r\n", 2s), "/quick"));

  // Each slow connection is ended by the server (a 408 and the close) although the
  // trickling ones keep sending.
  int ended = 0;
  std::vector<std::string> answers(kSlow);
  while (ended < kSlow && std::chrono::steady_clock::now() - start < 10s) {
    trickle();
    std::this_thread::sleep_for(50ms);
    for (int i = 0; i < kSlow; ++i) {
      if (slow[i] < 0) continue;
      char buffer[512];
      const ssize_t n = ::recv(slow[i], buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) answers[i].append(buffer, static_cast<std::size_t>(n));
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        ::close(slow[i]);
        slow[i] = -1;
        ++ended;
      }
    }
  }
  EXPECT_EQ(ended, kSlow);
  EXPECT_GE(std::chrono::steady_clock::now() - start, limits.readTimeout);
  for (int i = 0; i < kSlow; ++i) {
    if (slow[i] >= 0) ::close(slow[i]);
    EXPECT_TRUE(answers[i].empty() || answers[i].rfind("HTTP/1.1 408", 0) == 0) << answers[i];
  }
}

TEST(PlainHttpServer, ANewConnectionBeyondTheLimitEndsTheOldestSilentOne) {
  PlainServerLimits limits;
  limits.maxConnections = 4;
  RunningServer server(limits);
  ASSERT_GT(server.port(), 0);
  std::vector<int> silent;
  for (std::size_t i = 0; i <= limits.maxConnections; ++i) {
    silent.push_back(ConnectLoopback(server.port()));
    ASSERT_GE(silent.back(), 0);
    std::this_thread::sleep_for(20ms);  // accepted in this order
  }
  // The oldest was closed to make room for the last; the others are still open.
  for (std::size_t i = 0; i < silent.size(); ++i) {
    pollfd p{silent[i], POLLIN, 0};
    const bool closed = ::poll(&p, 1, i == 0 ? 2000 : 0) == 1;
    EXPECT_EQ(closed, i == 0) << "connection " << i;
  }
  // A request that comes while they wait is still answered.
  EXPECT_TRUE(Answered(RawExchange(server.port(), "GET /quick HTTP/1.1\r\n\r\n", 2s), "/quick"));
  for (const int fd : silent) ::close(fd);
}

TEST(PlainHttpServer, AConnectionClosedBeforeAnyByteIsNotLogged) {
  std::mutex mutex;
  std::vector<std::string> logged;
  PlainHttpServer server(
      [](const std::string&, const std::string&) { return PlainResponse{200, "text/plain", ""}; },
      [&](const std::string& method, const std::string& target, int status) {
        std::lock_guard lock(mutex);
        logged.push_back(method + " " + target + " " + std::to_string(status));
      });
  const int port = server.Bind(0);
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.Serve(); });

  // Whether anything answers on the port: connect and close, as Morvane does.
  const int probe = ConnectLoopback(port);
  ASSERT_GE(probe, 0);
  ::close(probe);
  // A client that sent part of a request line before closing made a request, a bad one.
  const int partial = ConnectLoopback(port);
  ASSERT_GE(partial, 0);
  ::send(partial, "GE", 2, MSG_NOSIGNAL);
  ::close(partial);
  RawExchange(port, "GET /after HTTP/1.1\r\n\r\n");
  server.Stop();
  serving.join();

  std::lock_guard lock(mutex);
  EXPECT_EQ(logged, (std::vector<std::string>{"  400", "GET /after 200"}));
}

}  // namespace
}  // namespace morvane::services
