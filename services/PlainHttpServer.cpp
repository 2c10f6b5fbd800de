#include "services/PlainHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace morvane::services {

namespace {

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    default: return "Error";
  }
}

void SendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace

PlainHttpServer::PlainHttpServer(Handler handler, Logger logger)
    : handler_(std::move(handler)), logger_(std::move(logger)) {}

PlainHttpServer::~PlainHttpServer() {
  Stop();
  std::lock_guard lock(clientsMutex_);
  for (auto& t : clients_)
    if (t.joinable()) t.join();
  if (listener_ >= 0) ::close(listener_);
}

int PlainHttpServer::Bind(int port) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return -1;
  const int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener_);
    listener_ = -1;
    return -1;
  }
  return ntohs(address.sin_port);
}

void PlainHttpServer::Serve() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::lock_guard lock(clientsMutex_);
    clients_.emplace_back([this, client] { Answer(client); });
  }
}

void PlainHttpServer::Stop() {
  stopping_ = true;
  if (listener_ >= 0) {
    ::shutdown(listener_, SHUT_RDWR);
  }
}

void PlainHttpServer::Answer(int client) {
  // Read the request head; a request that sends nothing for 10 s is dropped.
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    pollfd p{client, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  PlainResponse response{400, "text/plain", "bad request\n"};
  std::string method, target;
  const auto lineEnd = head.find("\r\n");
  if (lineEnd != std::string::npos) {
    const std::string line = head.substr(0, lineEnd);
    const auto first = line.find(' ');
    const auto last = line.rfind(' ');
    if (first != std::string::npos && last > first) {
      method = line.substr(0, first);
      target = line.substr(first + 1, last - first - 1);
      response = handler_(method, target);
    }
  }
  std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                    Reason(response.status) + "\r\nContent-Type: " + response.contentType +
                    "\r\nContent-Length: " + std::to_string(response.body.size()) +
                    "\r\nConnection: close\r\n\r\n";
  if (method != "HEAD") out += response.body;
  SendAll(client, out);
  ::shutdown(client, SHUT_WR);
  ::close(client);
  if (logger_) logger_(method, target, response.status);
}

}  // namespace morvane::services
