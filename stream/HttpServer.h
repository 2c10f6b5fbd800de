#pragma once
// The service's own small HTTP/1.1 server. It hands its handler the raw request target: the
// program sends the link to resolve unencoded, so the query of a magnet link holds a second
// "?", which general-purpose servers refuse. Bodies are streamed by the handler as they
// become available. One request per connection; a bounded pool of reader threads, each
// connection held to read and send time-outs so that slow clients cannot starve the others.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace morvane::stream {

struct HttpRequest {
  std::string method;  // "GET", "HEAD", ...
  std::string target;  // as sent: "/xml.php?url=magnet:?xt=..."
  std::string host;    // the Host header, empty when absent
  std::string range;   // the Range header, empty when absent
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// Writes one answer on a connection. A HEAD request gets the head alone.
class HttpResponder {
 public:
  HttpResponder(int socket, bool headOnly) : socket_(socket), headOnly_(headOnly) {}
  // Sends the status line and headers (Connection: close is added).
  bool SendHead(int status, const HttpHeaders& headers);
  bool SendBody(const char* data, std::size_t size);
  // A whole answer with a text body.
  bool Send(int status, const std::string& contentType, const std::string& body);
  // True when the client has closed its end or the connection failed.
  bool ClientGone() const;
  bool headOnly() const { return headOnly_; }
  bool headSent() const { return headSent_; }

 private:
  bool SendAll(const char* data, std::size_t size);

  int socket_;
  bool headOnly_;
  bool headSent_ = false;
  bool failed_ = false;
};

using HttpHandler = std::function<void(const HttpRequest&, HttpResponder&)>;

struct HttpLimits {
  int readers = 16;                             // connections answered at once
  std::size_t waiting = 64;                     // accepted connections queued for a reader
  std::chrono::milliseconds readTimeout{10000};  // for the whole request head
  std::chrono::milliseconds sendTimeout{30000};  // one send making no progress
  std::size_t maxHead = 64 * 1024;
};

class HttpServer {
 public:
  HttpServer(HttpHandler handler, HttpLimits limits = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds address:port (IPv4 or IPv6 literal; port 0 picks a free one) and starts serving.
  bool Start(const std::string& address, int port);
  int Port() const { return port_; }
  // Stops accepting, cuts every open connection and waits for the readers.
  void Stop();

 private:
  void AcceptLoop();
  void ReaderLoop();
  void Answer(int client);
  bool ReadHead(int client, std::string& head);

  HttpHandler handler_;
  HttpLimits limits_;
  int listener_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<int> waiting_;
  std::set<int> open_;  // connections being answered, cut on Stop
  bool stopping_ = false;
  std::thread acceptor_;
  std::vector<std::thread> readers_;
};

}  // namespace morvane::stream
