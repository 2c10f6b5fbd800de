#pragma once
// A bare HTTP/1.1 client for the streaming service's tests: it sends the request target
// exactly as given (a resolution request's link is unencoded, with a second "?"), reads
// until the server closes, and splits the answer.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <string>

namespace morvane::testing {

struct RawAnswer {
  int status = 0;  // 0: no answer
  std::string head;
  std::string body;

  // The value of a header, matched without regard to case; empty when absent.
  std::string Header(const std::string& name) const {
    std::string lowerHead = head, lowerName = name;
    for (char& c : lowerHead) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : lowerName) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto at = lowerHead.find("\r\n" + lowerName + ":");
    if (at == std::string::npos) return {};
    auto start = at + 3 + name.size();
    while (start < head.size() && head[start] == ' ') ++start;
    return head.substr(start, head.find("\r\n", start) - start);
  }
};

inline int ConnectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends a GET of `target` from `range` ("0-", "1234-") on a new connection, and returns the
// open socket for the caller to read the answer from.
inline int OpenRange(int port, const std::string& target, const std::string& range) {
  const int fd = ConnectLoopback(port);
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=" +
                              range + "\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  return fd;
}

// Sends `method target` with the extra header lines `headers` ("Range: bytes=0-9\r\n").
inline RawAnswer RawRequest(int port, const std::string& method, const std::string& target,
                            const std::string& headers = {},
                            std::chrono::milliseconds limit = std::chrono::seconds(120)) {
  RawAnswer answer;
  const int fd = ConnectLoopback(port);
  if (fd < 0) return answer;
  const std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                              std::to_string(port) + "\r\n" + headers + "\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string all;
  char buffer[1 << 16];
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    all.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  const auto end = all.find("\r\n\r\n");
  if (end == std::string::npos || all.size() < 12) return answer;
  answer.status = std::stoi(all.substr(9, 3));
  answer.head = all.substr(0, end + 2);
  answer.body = all.substr(end + 4);
  return answer;
}

inline RawAnswer RawGet(int port, const std::string& target, const std::string& headers = {}) {
  return RawRequest(port, "GET", target, headers);
}

// The text between "<file>" and "</file>" of a resolution answer.
inline std::string FileOf(const std::string& answer) {
  const auto start = answer.find("<file>");
  const auto end = answer.find("</file>");
  if (start == std::string::npos || end == std::string::npos || end < start) return {};
  return answer.substr(start + 6, end - start - 6);
}

}  // namespace morvane::testing
