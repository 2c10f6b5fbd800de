// The HTTP transport under the streaming and stand-in services: slow clients cost only their
// sockets, each pool's work waits only for its own kind, one client's share is capped, and
// every answer it writes itself is well formed.

#include "web/HttpServer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/RawHttp.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;
using testing::ConnectLoopback;
using testing::RawExchange;

std::string Get(const std::string& target, const std::string& headers = {}) {
  return "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n";
}

int StatusOf(const std::string& answer) {
  return answer.size() >= 12 && answer.starts_with("HTTP/1.1 ") ? std::stoi(answer.substr(9, 3)) : 0;
}

std::string BodyOf(const std::string& answer) {
  const auto end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

// Requests to "/hold..." wait until Release(); the others are answered with their target.
class Gate {
 public:
  void Release() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  void Enter() {
    std::unique_lock lock(mutex_);
    ++inside_;
    changed_.notify_all();
    changed_.wait_for(lock, 20s, [this] { return open_; });
  }
  bool AwaitInside(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return inside_ >= count; });
  }
  int inside() {
    std::lock_guard lock(mutex_);
    return inside_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int inside_ = 0;
};

HttpHandler Holding(Gate& gate) {
  return [&gate](const HttpRequest& request, HttpResponder& responder) {
    if (request.target.starts_with("/hold")) gate.Enter();
    responder.Send(200, "text/plain", request.target);
  };
}

// Sends a request on a connection of its own and leaves it open; the answer is read later.
int SendOnly(int port, const std::string& request, const char* from = nullptr) {
  const int fd = ConnectLoopback(port, from);
  if (fd >= 0) ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  return fd;
}

std::string ReadAnswer(int fd, std::chrono::milliseconds limit = 5s) {
  std::string all;
  char buffer[4096];
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    all.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return all;
}

TEST(HttpServerTest, SlowHeadsCostNoWorkerAndTargetsArriveRaw) {
  HttpLimits limits;
  limits.pools = {{1, 4, 0}};  // one worker, a short queue
  HttpServer server([](const HttpRequest& request, HttpResponder& responder) {
    responder.Send(200, "text/plain", request.target);
  }, limits);
  ASSERT_TRUE(server.Start("127.0.0.1", 0));
  // A hundred heads that never end (the deadline is the default 10 s), some trickling.
  std::vector<int> slow;
  for (int i = 0; i < 100; ++i) slow.push_back(SendOnly(server.Port(), i % 2 ? "GET /slow" : "", "127.0.0.2"));
  const std::string target = "/xml.php?url=magnet:?xt=urn:btih:ab&dn=a b?c%20d";
  const auto started = std::chrono::steady_clock::now();
  const std::string answer = RawExchange(server.Port(), Get(target), 9s);
  EXPECT_EQ(StatusOf(answer), 200) << answer;
  EXPECT_EQ(BodyOf(answer), target);
  // Answered long before the slow heads' deadline frees anything.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  for (const int fd : slow) ::close(fd);
}

TEST(HttpServerTest, EachPoolWaitsOnlyForItsOwnWork) {
  Gate gate;
  HttpLimits limits;
  limits.pools = {{1, 16, 0}, {1, 16, 0}};
  HttpServer server(Holding(gate), limits, [](const HttpRequest& request) -> std::size_t {
    return request.target.starts_with("/hold") ? 1 : 0;
  });
  ASSERT_TRUE(server.Start("127.0.0.1", 0));
  std::vector<int> held;
  for (int i = 0; i < 3; ++i) held.push_back(SendOnly(server.Port(), Get("/hold" + std::to_string(i))));
  ASSERT_TRUE(gate.AwaitInside(1));
  // The slow pool's one worker is held and two more wait behind it; a quick one does not.
  EXPECT_EQ(BodyOf(RawExchange(server.Port(), Get("/quick"), 3s)), "/quick");
  EXPECT_EQ(gate.inside(), 1);
  gate.Release();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(BodyOf(ReadAnswer(held[i])), "/hold" + std::to_string(i));
}

TEST(HttpServerTest, AClientPastItsShareOrAFullQueueIsToldToComeBack) {
  struct Case {
    const char* what;
    HttpPool pool;
    int entering;           // of three held requests from 127.0.0.2, how many run
    int refused;            // and how many are refused at once (the last ones)
    int otherClientStatus;  // a request from 127.0.0.1 meanwhile
  } cases[] = {
      {"past the client's share", {4, 16, 2}, 2, 1, 200},
      {"a pool without a share", {4, 16, 0}, 3, 0, 200},
      {"a full queue", {1, 1, 0}, 1, 1, 503},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Gate gate;
    HttpLimits limits;
    limits.pools = {c.pool};
    limits.retryAfterSeconds = 7;
    HttpServer server(Holding(gate), limits);
    ASSERT_TRUE(server.Start("127.0.0.1", 0));
    std::vector<int> held;
    for (int i = 0; i < 3; ++i) {
      held.push_back(SendOnly(server.Port(), Get("/hold"), "127.0.0.2"));
      std::this_thread::sleep_for(100ms);  // taken in this order
    }
    ASSERT_TRUE(gate.AwaitInside(c.entering));
    for (int i = 3 - c.refused; i < 3; ++i) {
      const std::string refused = ReadAnswer(held[i], 3s);
      held[i] = -1;
      EXPECT_EQ(StatusOf(refused), 503) << refused;
      EXPECT_NE(refused.find("\r\nRetry-After: 7\r\n"), std::string::npos) << refused;
    }
    const std::string other = RawExchange(server.Port(), Get("/other"), 3s);
    EXPECT_EQ(StatusOf(other), c.otherClientStatus) << other;
    EXPECT_EQ(gate.inside(), c.entering);
    gate.Release();
    for (const int fd : held) {
      if (fd >= 0) {
        EXPECT_EQ(StatusOf(ReadAnswer(fd)), 200);
      }
    }
  }
}

TEST(HttpServerTest, BoundToLoopbackItAnswersOnlyForLoopbackNames) {
  std::mutex mutex;
  std::string local;
  HttpServer server([&](const HttpRequest& request, HttpResponder& responder) {
    {
      std::lock_guard lock(mutex);
      local = request.local;
    }
    responder.Send(200, "text/plain", "ok");
  });
  ASSERT_TRUE(server.Start("127.0.0.1", 0));
  ASSERT_TRUE(server.BoundToLoopback());
  const std::string port = std::to_string(server.Port());
  struct Case {
    std::string host;  // "" sends none
    int status;
  } cases[] = {
      {"", 200},
      {"127.0.0.1:" + port, 200},
      {"127.8.9.10", 200},
      {"localhost:" + port, 200},
      {"LocalHost", 200},
      {"[::1]:" + port, 200},
      {"evil.example:" + port, 421},
      {"127.0.0.1.evil.example", 421},
      {"localhost.evil.example", 421},
      {"192.168.1.20:" + port, 421},
      {"[::1]x", 421},
      {"127.0.0.1:80x", 421},
      {"[::2]:" + port, 421},
  };
  for (const Case& c : cases) {
    const std::string answer =
        RawExchange(server.Port(), Get("/", c.host.empty() ? "" : "Host: " + c.host + "\r\n"));
    EXPECT_EQ(StatusOf(answer), c.status) << c.host << ": " << answer;
  }
  std::lock_guard lock(mutex);
  EXPECT_EQ(local, "127.0.0.1:" + port);
}

TEST(HttpServerTest, BoundToEveryAddressItTakesAnyHostAndNamesTheAddressReached) {
  std::mutex mutex;
  std::string local, client;
  HttpServer server([&](const HttpRequest& request, HttpResponder& responder) {
    std::lock_guard lock(mutex);
    local = request.local;
    client = request.client;
    responder.Send(200, "text/plain", "ok");
  });
  ASSERT_TRUE(server.Start("0.0.0.0", 0));
  EXPECT_FALSE(server.BoundToLoopback());
  EXPECT_EQ(StatusOf(RawExchange(server.Port(), Get("/", "Host: media.example\r\n"), 5s, "127.0.0.3")), 200);
  std::lock_guard lock(mutex);
  EXPECT_EQ(local, "127.0.0.1:" + std::to_string(server.Port()));
  EXPECT_EQ(client, "127.0.0.3");
}

TEST(HttpServerTest, RequestsItCannotTakeAreAnsweredByTheTransport) {
  std::mutex mutex;
  std::vector<std::string> logged;
  HttpLimits limits;
  limits.headTimeout = 300ms;
  limits.maxHead = 4096;
  HttpServer server(
      [](const HttpRequest&, HttpResponder& responder) { responder.Send(200, "text/plain", "ok"); },
      limits, {},
      [&](const HttpRequest& request, int status) {
        std::lock_guard lock(mutex);
        logged.push_back(request.method + " " + std::to_string(status));
      });
  ASSERT_TRUE(server.Start("127.0.0.1", 0));
  struct Case {
    const char* what;
    std::string sent;
    bool closeAfter;  // the client ends its side once sent
    int status;       // 0: nothing comes back
  } cases[] = {
      {"a head that never ends", "GET / HTTP/1.1\r\nHost: x", false, 408},
      {"a head too long", "GET /" + std::string(5000, 'a') + " HTTP/1.1\r\n\r\n", false, 431},
      {"no version", "GET /\r\n\r\n", false, 400},
      {"no target", "GET\r\n\r\n", false, 400},
      {"a client that gives up halfway", "GE", true, 400},
      {"a client that says nothing", "", true, 0},
      {"a well-formed one", "HEAD / HTTP/1.0\r\n\r\n", false, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int fd = ConnectLoopback(server.Port());
    ::send(fd, c.sent.data(), c.sent.size(), MSG_NOSIGNAL);
    if (c.closeAfter) ::shutdown(fd, SHUT_WR);
    const std::string answer = ReadAnswer(fd, 3s);
    EXPECT_EQ(StatusOf(answer), c.status) << answer;
    if (c.status == 200) {
      EXPECT_EQ(BodyOf(answer), "") << "a HEAD request gets the head alone";
    }
  }
  server.Stop();
  std::lock_guard lock(mutex);
  EXPECT_EQ(logged, (std::vector<std::string>{" 408", " 431", " 400", " 400", " 400", "HEAD 200"}));
}

TEST(HttpServerTest, TheResponderWritesChunksAndTheSharedHeaderSets) {
  HttpServer server([](const HttpRequest& request, HttpResponder& responder) {
    responder.AddToEveryHead(CrossOriginHeaders());
    if (request.target == "/chunks") {
      responder.StartChunks(200, NoStoreHeaders());
      responder.SendChunk("hello ", 6);
      responder.SendChunk("", 0);  // nothing: must not end the body
      responder.SendChunk(std::string(300, 'x').data(), 300);
      responder.EndChunks();
    } else {
      responder.Send(404, "text/plain", "none\n", {{"X-Extra", "1"}});
    }
  });
  ASSERT_TRUE(server.Start("127.0.0.1", 0));
  const std::string chunked = RawExchange(server.Port(), Get("/chunks"));
  EXPECT_TRUE(chunked.starts_with("HTTP/1.1 200 OK\r\n")) << chunked;
  EXPECT_NE(chunked.find("\r\nTransfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_NE(chunked.find("\r\nCache-Control: no-store\r\n"), std::string::npos);
  EXPECT_NE(chunked.find("\r\nAccess-Control-Allow-Origin: *\r\n"), std::string::npos);
  EXPECT_EQ(BodyOf(chunked), "6\r\nhello \r\n12c\r\n" + std::string(300, 'x') + "\r\n0\r\n\r\n");

  const std::string plain = RawExchange(server.Port(), Get("/other"));
  EXPECT_TRUE(plain.starts_with("HTTP/1.1 404 Not Found\r\n")) << plain;
  EXPECT_NE(plain.find("\r\nContent-Length: 5\r\nX-Extra: 1\r\nAccess-Control-Allow-Origin: *\r\n"),
            std::string::npos)
      << plain;

  const std::string head = RawExchange(server.Port(), "HEAD /chunks HTTP/1.1\r\n\r\n");
  EXPECT_NE(head.find("Transfer-Encoding: chunked"), std::string::npos);
  EXPECT_EQ(BodyOf(head), "");
  for (const int status : {200, 206, 401, 404, 405, 408, 416, 421, 431, 500, 503})
    EXPECT_STRNE(HttpReasonPhrase(status), "Error") << status;
}

TEST(HttpServerTest, AHandlerThatThrowsEndsItsAnswerNotTheServer) {
  HttpLimits limits;
  limits.pools = {{1, 4, 0}};  // the one worker must live on to answer the second request
  HttpServer server(
      [](const HttpRequest& request, HttpResponder& responder) {
        if (request.target == "/throws") throw std::runtime_error("torrent removed");
        responder.Send(200, "text/plain", "fine");
      },
      limits);
  ASSERT_TRUE(server.Start("127.0.0.1", 0));
  const std::string failed = RawExchange(server.Port(), Get("/throws"));
  EXPECT_EQ(StatusOf(failed), 500);
  EXPECT_NE(BodyOf(failed).find("resp"), std::string::npos);
  EXPECT_EQ(BodyOf(RawExchange(server.Port(), Get("/"))), "fine");
}

TEST(HttpServerTest, StopCutsAnswersInProgress) {
  std::atomic<bool> entered{false};
  HttpServer server([&](const HttpRequest&, HttpResponder& responder) {
    responder.SendHead(200, {{"Content-Length", "1000000000"}});
    entered = true;
    const std::string chunk(1 << 16, 'x');
    while (responder.SendBody(chunk.data(), chunk.size())) {
    }
  });
  ASSERT_TRUE(server.Start("127.0.0.1", 0));
  // A client that reads nothing: the server's sends block until Stop cuts them.
  const int client = SendOnly(server.Port(), Get("/"));
  for (int i = 0; i < 2000 && !entered; ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(entered) << "the handler never ran: Stop would be timed with nothing to cut";
  const auto started = std::chrono::steady_clock::now();
  server.Stop();
  // Far below the 30 s send time-out that would otherwise end the send.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  ::close(client);
  EXPECT_FALSE(HttpServer([](const HttpRequest&, HttpResponder&) {}).Start("not an address", 0));
}

}  // namespace
}  // namespace morvane
