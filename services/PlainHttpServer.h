#pragma once
// A small HTTP/1.1 server for the resolution service. The program sends the link to resolve
// unencoded, so the query of a magnet link holds a second "?", which cpp-httplib refuses;
// this server hands the raw request target to its handler and answers one request per
// connection.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace morvane::services {

struct PlainResponse {
  int status = 200;
  std::string contentType;
  std::string body;
};

class PlainHttpServer {
 public:
  using Handler = std::function<PlainResponse(const std::string& method, const std::string& target)>;
  using Logger = std::function<void(const std::string& method, const std::string& target, int status)>;

  PlainHttpServer(Handler handler, Logger logger);
  ~PlainHttpServer();
  PlainHttpServer(const PlainHttpServer&) = delete;
  PlainHttpServer& operator=(const PlainHttpServer&) = delete;

  // Binds 127.0.0.1:port (0: a free port); returns the port, or -1.
  int Bind(int port);
  // Serves until Stop(); call on a thread of its own.
  void Serve();
  void Stop();

 private:
  void Answer(int client);

  Handler handler_;
  Logger logger_;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::mutex clientsMutex_;
  std::vector<std::thread> clients_;
};

}  // namespace morvane::services
