#pragma once
// A stand-in for the video resolution service on 127.0.0.1, on a free port, for one test.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace morvane::testing {

// It answers every request with what `answer` makes of the raw request target and remembers
// the targets. A plain socket server, because the links it receives (magnet links put a
// second "?" into the query) are valid in a request line but refused with 400 by the HTTP
// library the other tests use.
class ResolutionService {
 public:
  explicit ResolutionService(std::function<std::string(const std::string& target)> answer)
      : answer_(std::move(answer)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;  // port() stays 0: nothing can be reached
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ResolutionService(const ResolutionService&) = delete;
  ResolutionService& operator=(const ResolutionService&) = delete;
  ~ResolutionService() {
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);  // wakes the blocked accept
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }

  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> Targets() const {
    std::lock_guard lock(mutex_);
    return targets_;
  }

 private:
  void Serve() {
    for (;;) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      Answer(client);
      ::close(client);
    }
  }
  void Answer(int client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    // "GET <target> HTTP/1.1"
    const std::string line = request.substr(0, request.find("\r\n"));
    const std::size_t first = line.find(' '), last = line.rfind(' ');
    const std::string target =
        first < last ? line.substr(first + 1, last - first - 1) : std::string();
    {
      std::lock_guard lock(mutex_);
      targets_.push_back(target);
    }
    const std::string body = answer_(target);
    std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    std::string_view rest = response;
    while (!rest.empty()) {
      const ssize_t n = ::send(client, rest.data(), rest.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  std::function<std::string(const std::string&)> answer_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
};

}  // namespace morvane::testing
