#pragma once
// A small HTTP/1.1 server for the resolution service. The program sends the link to resolve
// unencoded, so the query of a magnet link holds a second "?", which cpp-httplib refuses;
// this server hands the raw request target to its handler and answers one request per
// connection.
//
// One thread does all the work: it accepts, reads every open connection's request as its
// bytes come, answers and writes without blocking. No thread is started per connection, so
// nothing piles up however many requests come, and a slow client costs only its socket.
// Each connection has an overall deadline for its request and one for its answer; a client
// sending a byte now and then is dropped when its time is up.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace morvane::services {

struct PlainResponse {
  int status = 200;
  std::string contentType;
  std::string body;
};

struct PlainServerLimits {
  std::chrono::milliseconds readTimeout{10000};   // the whole request head
  std::chrono::milliseconds writeTimeout{10000};  // the whole answer
  // Open connections; a new one beyond it closes the oldest.
  std::size_t maxConnections = 256;
};

class PlainHttpServer {
 public:
  using Handler = std::function<PlainResponse(const std::string& method, const std::string& target)>;
  using Logger = std::function<void(const std::string& method, const std::string& target, int status)>;

  PlainHttpServer(Handler handler, Logger logger, PlainServerLimits limits = {});
  ~PlainHttpServer();
  PlainHttpServer(const PlainHttpServer&) = delete;
  PlainHttpServer& operator=(const PlainHttpServer&) = delete;

  // Binds 127.0.0.1:port (0: a free port); returns the port, or -1.
  int Bind(int port);
  // Serves until Stop(); call on a thread of its own.
  void Serve();
  void Stop();

 private:
  struct Connection;
  void Read(Connection& c);
  void Answer(Connection& c);
  void Write(Connection& c);
  void Finish(Connection& c);

  Handler handler_;
  Logger logger_;
  PlainServerLimits limits_;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
};

}  // namespace morvane::services
