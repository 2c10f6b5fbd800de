#pragma once
// An HTTP server on 127.0.0.1 on a free port, running on its own thread for one test.

#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

namespace morvane::testing {

// `Server` is httplib::Server, or httplib::SSLServer given its certificate and key.
template <class Server>
class LocalServerOn {
 public:
  template <class... ServerArguments>
  explicit LocalServerOn(ServerArguments&&... arguments)
      : server_(std::forward<ServerArguments>(arguments)...) {}
  LocalServerOn(const LocalServerOn&) = delete;
  LocalServerOn& operator=(const LocalServerOn&) = delete;
  ~LocalServerOn() { Stop(); }

  Server& server() { return server_; }

  // Binds a free port and starts serving; call after the handlers are set.
  void Start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 5000 && !server_.is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Stop() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return port_; }
  // "127.0.0.1:PORT"
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  // "http://127.0.0.1:PORT"
  std::string base() const { return "http://" + host(); }

 private:
  Server server_;
  std::thread thread_;
  int port_ = 0;
};

using LocalServer = LocalServerOn<httplib::Server>;

// "127.0.0.1:PORT" of a port that was free a moment ago and that nobody listens on now.
inline std::string ClosedHost() {
  LocalServer closed;
  closed.Start();
  const std::string host = closed.host();
  closed.Stop();
  return host;
}

}  // namespace morvane::testing
