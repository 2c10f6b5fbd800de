#pragma once
// Raw HTTP over a loopback socket, for requests no client library would send: control bytes
// in the target, a request that never ends, a byte now and then.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace morvane::testing {

// A socket connected to 127.0.0.1:port, or -1. `from`, when given, is the loopback address
// the connection comes from ("127.0.0.2"): another client, as a server counts them.
inline int ConnectLoopback(int port, const char* from = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (from != nullptr) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &source.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
      ::close(fd);
      return -1;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends `request` and reads until the server closes or `timeout` passes; what came back
// ("" when nothing did).
inline std::string RawExchange(int port, const std::string& request,
                               std::chrono::milliseconds timeout = std::chrono::seconds(5),
                               const char* from = nullptr) {
  const int fd = ConnectLoopback(port, from);
  if (fd < 0) return "";
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  const auto until = std::chrono::steady_clock::now() + timeout;
  std::string answer;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return answer;
}

}  // namespace morvane::testing
