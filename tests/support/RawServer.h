#pragma once
// A one-connection-at-a-time server on 127.0.0.1 that speaks raw bytes: it records each
// request exactly as it arrived and answers with scripted bytes, so a test can check the
// header text on the wire, send malformed or oversized answers, or say nothing at all.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace morvane::testing {

struct RawReply {
  std::string bytes;      // sent as they are
  bool holdOpen = false;  // keep the connection open and silent after sending
};

class RawServer {
 public:
  using Responder = std::function<RawReply(const std::string& request)>;

  explicit RawServer(Responder responder) : responder_(std::move(responder)) {
    // Close-on-exec: tests that start programs must not hand them the listening socket.
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::abort();
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;
  ~RawServer() {
    stopping_ = true;
    thread_.join();
    for (int held : held_) ::close(held);
    ::close(listener_);
  }

  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string base() const { return "http://" + host(); }
  std::vector<std::string> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  void ClearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
  }

 private:
  void Serve() {
    while (!stopping_) {
      pollfd waiting{listener_, POLLIN, 0};
      if (::poll(&waiting, 1, 20) <= 0) continue;
      const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      const std::string request = ReadRequest(connection);
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      const RawReply reply = responder_(request);
      for (std::size_t sent = 0; sent < reply.bytes.size();) {
        const ssize_t n =
            ::send(connection, reply.bytes.data() + sent, reply.bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
      if (reply.holdOpen) {
        held_.push_back(connection);
      } else {
        ::close(connection);
      }
    }
  }

  // The header block and as many body bytes as its Content-Length names.
  static std::string ReadRequest(int connection) {
    std::string request;
    char buffer[4096];
    std::size_t wanted = std::string::npos;
    while (request.size() < wanted) {
      const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
      const std::size_t end = request.find("\r\n\r\n");
      if (end != std::string::npos && wanted == std::string::npos) {
        std::size_t body = 0;
        const std::size_t at = request.find("Content-Length: ");
        if (at != std::string::npos && at < end)
          body = std::strtoul(&request[at + 16], nullptr, 10);
        wanted = end + 4 + body;
      }
    }
    return request;
  }

  Responder responder_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::vector<int> held_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
};

// A complete answer with the given status line, extra header lines (each ending in CR LF)
// and body; the connection closes after it.
inline std::string RawAnswer(const std::string& statusLine, const std::string& headerLines,
                             const std::string& body) {
  return statusLine + "\r\n" + headerLines + "Content-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace morvane::testing
