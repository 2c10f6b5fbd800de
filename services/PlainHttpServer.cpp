#include "services/PlainHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace morvane::services {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxHead = 65536;
// How often the loop looks at the stop flag when nothing happens.
constexpr std::chrono::milliseconds kStopCheck{100};

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    default: return "Error";
  }
}

}  // namespace

struct PlainHttpServer::Connection {
  int fd = -1;
  bool writing = false;
  bool done = false;
  Clock::time_point deadline;
  std::string head;
  std::string out;
  std::size_t sent = 0;
  std::string method;
  std::string target;
  int status = 400;
  // Closed by the client before it sent a byte: no request, so nothing to answer or log.
  // Morvane looks whether its resolution host answers exactly this way.
  bool empty = false;
};

PlainHttpServer::PlainHttpServer(Handler handler, Logger logger, PlainServerLimits limits)
    : handler_(std::move(handler)), logger_(std::move(logger)), limits_(limits) {}

PlainHttpServer::~PlainHttpServer() {
  Stop();
  if (listener_ >= 0) ::close(listener_);
}

int PlainHttpServer::Bind(int port) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener_ < 0) return -1;
  const int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 128) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener_);
    listener_ = -1;
    return -1;
  }
  return ntohs(address.sin_port);
}

void PlainHttpServer::Serve() {
  std::vector<Connection> open;
  std::vector<pollfd> polled;
  while (!stopping_) {
    const auto now = Clock::now();
    auto wait = kStopCheck;
    polled.clear();
    polled.push_back({listener_, POLLIN, 0});
    for (const Connection& c : open) {
      polled.push_back({c.fd, static_cast<short>(c.writing ? POLLOUT : POLLIN), 0});
      wait = std::min(wait, std::max(std::chrono::milliseconds(0),
                                     std::chrono::duration_cast<std::chrono::milliseconds>(
                                         c.deadline - now) + std::chrono::milliseconds(1)));
    }
    if (::poll(polled.data(), polled.size(), static_cast<int>(wait.count())) < 0 &&
        errno != EINTR)
      break;

    // Connections first: the indexes of `polled` match `open` until new ones are added.
    for (std::size_t i = 0; i < open.size(); ++i) {
      Connection& c = open[i];
      const short events = polled[i + 1].revents;
      if (events != 0) {
        if (c.writing)
          Write(c);
        else
          Read(c);
      }
      if (!c.done && Clock::now() >= c.deadline) {
        // Time is up: a request still coming is answered as a bad one, an answer still
        // going out is given up.
        if (c.writing)
          Finish(c);
        else
          Answer(c);
      }
    }
    open.erase(std::remove_if(open.begin(), open.end(), [](const Connection& c) { return c.done; }),
               open.end());

    if (polled[0].revents & POLLIN) {
      for (;;) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) break;
        if (open.size() >= limits_.maxConnections) {
          Finish(open.front());
          open.erase(open.begin());
        }
        Connection c;
        c.fd = client;
        c.deadline = Clock::now() + limits_.readTimeout;
        open.push_back(std::move(c));
      }
    }
  }
  for (Connection& c : open) Finish(c);
}

void PlainHttpServer::Stop() {
  stopping_ = true;
  if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
}

void PlainHttpServer::Read(Connection& c) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && c.head.empty()) {
      c.empty = true;
      Finish(c);
      return;
    }
    if (n <= 0) break;  // the client is done sending: answer what came
    c.head.append(buffer, static_cast<std::size_t>(n));
    if (c.head.find("\r\n\r\n") != std::string::npos || c.head.size() >= kMaxHead) break;
  }
  Answer(c);
}

void PlainHttpServer::Answer(Connection& c) {
  PlainResponse response{400, "text/plain", "bad request\n"};
  const auto lineEnd = c.head.find("\r\n");
  if (lineEnd != std::string::npos) {
    const std::string line = c.head.substr(0, lineEnd);
    const auto first = line.find(' ');
    const auto last = line.rfind(' ');
    if (first != std::string::npos && last > first) {
      c.method = line.substr(0, first);
      c.target = line.substr(first + 1, last - first - 1);
      try {
        response = handler_(c.method, c.target);
      } catch (...) {
        response = {500, "text/plain", "error\n"};
      }
    }
  }
  c.status = response.status;
  c.out = "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) +
          "\r\nContent-Type: " + response.contentType +
          "\r\nContent-Length: " + std::to_string(response.body.size()) +
          "\r\nConnection: close\r\n\r\n";
  if (c.method != "HEAD") c.out += response.body;
  c.head.clear();
  c.head.shrink_to_fit();
  c.writing = true;
  c.deadline = Clock::now() + limits_.writeTimeout;
  Write(c);
}

void PlainHttpServer::Write(Connection& c) {
  while (c.sent < c.out.size()) {
    const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    c.sent += static_cast<std::size_t>(n);
  }
  ::shutdown(c.fd, SHUT_WR);
  Finish(c);
}

void PlainHttpServer::Finish(Connection& c) {
  if (c.done) return;
  c.done = true;
  ::close(c.fd);
  c.fd = -1;
  if (logger_ && !c.empty) {
    try {
      logger_(c.method, c.target, c.status);
    } catch (...) {
      // A log that cannot be written never stops the service.
    }
  }
}

}  // namespace morvane::services
