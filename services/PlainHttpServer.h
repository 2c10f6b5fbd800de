#pragma once
// The stand-in resolution service's server: the project's HTTP transport
// (web/HttpServer.h) on 127.0.0.1, with a handler that answers each request whole. Its few
// workers are started once, so nothing piles up however many requests come, and a slow
// client costs only its socket: each connection has a deadline for its request head and
// one for its answer.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "web/HttpServer.h"

namespace morvane::services {

struct PlainResponse {
  int status = 200;
  std::string contentType;
  std::string body;
};

struct PlainServerLimits {
  std::chrono::milliseconds readTimeout{10000};   // the whole request head
  std::chrono::milliseconds writeTimeout{10000};  // one send of the answer making no progress
  // Connections whose request is still coming; a new one beyond it closes the oldest.
  std::size_t maxConnections = 256;
};

class PlainHttpServer {
 public:
  using Handler = std::function<PlainResponse(const std::string& method, const std::string& target)>;
  using Logger = std::function<void(const std::string& method, const std::string& target, int status)>;

  PlainHttpServer(Handler handler, Logger logger, PlainServerLimits limits = {});
  PlainHttpServer(const PlainHttpServer&) = delete;
  PlainHttpServer& operator=(const PlainHttpServer&) = delete;

  // Binds 127.0.0.1:port (0: a free port); returns the port, or -1.
  int Bind(int port);
  // Serves until Stop(); call on a thread of its own.
  void Serve();
  void Stop();

 private:
  Handler handler_;
  Logger logger_;
  HttpServer server_;
};

}  // namespace morvane::services
