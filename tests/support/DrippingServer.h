#pragma once
// A hostile HTTP server on 127.0.0.1: every connection gets a head that promises a megabyte,
// then a byte a second, which keeps any stall limit happy and never ends. Many connections
// at once.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace morvane::testing {

class DrippingServer {
 public:
  DrippingServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener_, 128);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  DrippingServer(const DrippingServer&) = delete;
  DrippingServer& operator=(const DrippingServer&) = delete;
  ~DrippingServer() {
    stopping_ = true;
    thread_.join();
    for (const int fd : clients_) ::close(fd);
    ::close(listener_);
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int connections() const { return connections_.load(); }

 private:
  void Serve() {
    using Clock = std::chrono::steady_clock;
    auto nextDrop = Clock::now();
    while (!stopping_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) == 1) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          const std::string head =
              "HTTP/1.1 200 OK\r\nContent-Type: application/x-bittorrent\r\n"
              "Content-Length: 1000000\r\n\r\n";
          ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
          clients_.push_back(fd);
          ++connections_;
        }
      }
      if (Clock::now() >= nextDrop) {
        for (const int fd : clients_) ::send(fd, "d", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        nextDrop += std::chrono::seconds(1);
      }
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::vector<int> clients_;
  std::thread thread_;
};

}  // namespace morvane::testing
