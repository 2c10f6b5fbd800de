#pragma once
// The project's one HTTP/1.1 server transport, under the streaming service and the stand-in
// services alike. Handlers get the raw request target: the program sends the link to
// resolve unencoded, so the query of a magnet link holds a second "?", which
// general-purpose servers refuse. One request per connection.
//
// One thread reads every request head as its bytes come, each head within one deadline, so
// a client that sends slowly or not at all costs only its socket. A complete request is
// handed to one of the server's bounded pools of workers, chosen per request, so quick
// answers never wait behind byte streams or slow resolutions. The connections one client
// address holds while their heads come are capped (past it its oldest goes), and so are
// its requests in each pool; past that cap, and when a pool's queue is full, the answer is
// 503 with Retry-After. Bound to loopback, a Host header that names
// anything but loopback is answered 421, so a page whose name was rebound to 127.0.0.1
// gets nothing.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "web/HttpResponder.h"

namespace morvane {

struct HttpRequest {
  std::string method;  // "GET", "HEAD", "POST", ...
  std::string target;  // as sent: "/xml.php?url=magnet:?xt=..."
  std::string host;    // the Host header, empty when absent
  std::string range;   // the Range header, empty when absent
  std::string authorization;
  std::string origin;  // the Origin header a browser sends with a cross-site POST
  // What a browser says of the page that made it send the request: its Referer header and
  // its Sec-Fetch-Site ("cross-site", "same-site", "same-origin", "none": typed by the user).
  std::string referer;
  std::string fetchSite;
  std::string client;  // the client's numeric address: "192.168.1.7", "::1"
  // The address and port the client reached, as an address names them: "127.0.0.1:47083",
  // "[::1]:47083". On a server bound to every address it is the one the client used.
  std::string local;
};

struct HttpPool {
  int workers = 4;
  std::size_t queue = 256;  // requests waiting for a worker; past it 503
  // One client address's requests in this pool, waiting or being answered; past it 503.
  // Below the number of workers, no one client takes them all. 0: no cap.
  std::size_t perClient = 0;
};

struct HttpLimits {
  std::vector<HttpPool> pools{HttpPool{}};
  std::chrono::milliseconds headTimeout{10000};  // for the whole request head
  std::chrono::milliseconds sendTimeout{30000};  // one send of an answer making no progress
  std::size_t maxHead = 64 * 1024;
  std::size_t maxReading = 512;        // connections whose head is still coming
  std::size_t perClientReading = 64;   // of them from one client address
  int retryAfterSeconds = 2;
  // Bound to loopback, a Host header naming anything else is answered 421.
  bool loopbackHostsOnly = true;
};

// Answers a request on a worker of its pool.
using HttpHandler = std::function<void(const HttpRequest&, HttpResponder&)>;
// Which of the limits' pools a request goes to (its index); none given: the first.
using HttpPoolChoice = std::function<std::size_t(const HttpRequest&)>;
// Told of every request answered, refusals included, with the status sent (0: none).
using HttpLog = std::function<void(const HttpRequest&, int status)>;

// True for a Host header naming loopback: "localhost", "127.x.x.x" or "[::1]", each with
// or without a port.
bool IsLoopbackHostHeader(std::string_view host);

class HttpServer {
 public:
  explicit HttpServer(HttpHandler handler, HttpLimits limits = {}, HttpPoolChoice choose = {},
                      HttpLog log = {});
  ~HttpServer();  // Stop()
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds address:port (an IPv4 or IPv6 literal; port 0 picks a free one) and starts the
  // workers; false when it cannot.
  bool Bind(const std::string& address, int port);
  // Reads heads on the calling thread until Stop.
  void Run();
  // Run on a thread of the server's own, once bound.
  bool Start();
  // Bind, then Start.
  bool Start(const std::string& address, int port);

  int Port() const { return port_; }
  bool BoundToLoopback() const { return loopback_; }

  // Stops reading, cuts every connection (answers under way see their client gone) and
  // waits for the workers and the server's own thread.
  void Stop();

 private:
  struct Connection;
  struct Job;
  struct Pool;
  void Accept(std::vector<Connection>& open, std::uint64_t& order);
  void MakeRoom(std::vector<Connection>& open, const std::string& client);
  void Read(Connection& c);
  void Dispatch(Connection& c);
  void Refuse(Connection& c, int status, std::string_view body, bool retryAfter = false);
  void Write(Connection& c);
  void Finish(Connection& c);
  void Work(Pool& pool);

  HttpHandler handler_;
  HttpLimits limits_;
  HttpPoolChoice choose_;
  HttpLog log_;
  int listener_ = -1;
  int wake_ = -1;  // an eventfd that ends the reading thread's wait
  int port_ = 0;
  bool loopback_ = false;
  std::atomic<bool> running_{false};

  std::mutex mutex_;  // guards what follows
  bool stopping_ = false;
  std::set<int> answering_;                 // connections on workers, cut on Stop
  std::map<std::pair<std::size_t, std::string>, std::size_t> clientRequests_;  // by pool and client
  std::vector<std::unique_ptr<Pool>> pools_;
  std::thread reader_;
};

}  // namespace morvane
