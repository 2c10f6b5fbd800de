#include "stream/HttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "tests/stream/RawHttp.h"

namespace morvane::stream {
namespace {

using testing::ConnectLoopback;
using testing::RawGet;

TEST(HttpServerTest, IdleClientsDoNotHoldTheReadersAndTargetsArriveRaw) {
  HttpLimits limits;
  limits.readers = 2;
  limits.readTimeout = std::chrono::milliseconds(300);
  HttpServer server(
      [](const HttpRequest& request, HttpResponder& responder) {
        responder.Send(200, "text/plain", request.target);
      },
      limits);
  ASSERT_TRUE(server.Start("127.0.0.1", 0));
  // Two connections that never send a byte would hold both readers without a time-out.
  const int idleA = ConnectLoopback(server.Port());
  const int idleB = ConnectLoopback(server.Port());
  const std::string target = "/xml.php?url=magnet:?xt=urn:btih:ab&dn=a b?c%20d";
  const auto started = std::chrono::steady_clock::now();
  const auto answer = RawGet(server.Port(), target);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, target);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  ::close(idleA);
  ::close(idleB);
}

TEST(HttpServerTest, AHandlerThatThrowsEndsItsAnswerNotTheServer) {
  HttpLimits limits;
  limits.readers = 1;  // the one reader must live on to answer the second request
  HttpServer server(
      [](const HttpRequest& request, HttpResponder& responder) {
        if (request.target == "/throws") throw std::runtime_error("torrent removed");
        responder.Send(200, "text/plain", "fine");
      },
      limits);
  ASSERT_TRUE(server.Start("127.0.0.1", 0));
  const auto failed = RawGet(server.Port(), "/throws");
  EXPECT_EQ(failed.status, 500);
  EXPECT_NE(failed.body.find("resp"), std::string::npos);
  EXPECT_EQ(RawGet(server.Port(), "/").body, "fine");
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
  const int client = ConnectLoopback(server.Port());
  const std::string request = "GET / HTTP/1.1\r\n\r\n";
  ::send(client, request.data(), request.size(), MSG_NOSIGNAL);
  for (int i = 0; i < 2000 && !entered; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const auto started = std::chrono::steady_clock::now();
  server.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  ::close(client);
  EXPECT_FALSE(HttpServer([](const HttpRequest&, HttpResponder&) {}).Start("not an address", 0));
}

}  // namespace
}  // namespace morvane::stream
