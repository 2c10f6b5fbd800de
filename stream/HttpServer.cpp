#include "stream/HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <exception>
#include <cstring>

namespace morvane::stream {

namespace {

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Error";
  }
}

std::string HeaderValue(const std::string& head, std::string_view name) {
  std::size_t line = head.find("\r\n");
  while (line != std::string::npos && line + 2 < head.size()) {
    const std::size_t start = line + 2;
    const std::size_t end = head.find("\r\n", start);
    const std::size_t colon = head.find(':', start);
    if (end == std::string::npos || end == start) break;
    if (colon != std::string::npos && colon < end && colon - start == name.size()) {
      bool same = true;
      for (std::size_t i = 0; i < name.size() && same; ++i)
        same = std::tolower(static_cast<unsigned char>(head[start + i])) == name[i];
      if (same) {
        std::size_t v = colon + 1;
        while (v < end && head[v] == ' ') ++v;
        return head.substr(v, end - v);
      }
    }
    line = end;
  }
  return {};
}

void Reject(int client, int status) {
  HttpResponder responder(client, false);
  responder.Send(status, "text/plain", std::string(ReasonPhrase(status)) + "\n");
}

}  // namespace

bool HttpResponder::SendAll(const char* data, std::size_t size) {
  while (size > 0 && !failed_) {
    const ssize_t n = ::send(socket_, data, size, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      failed_ = true;
      break;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return !failed_;
}

bool HttpResponder::SendHead(int status, const HttpHeaders& headers) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
  for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
  head += "Connection: close\r\n\r\n";
  headSent_ = true;
  return SendAll(head.data(), head.size());
}

bool HttpResponder::SendBody(const char* data, std::size_t size) {
  if (headOnly_) return !failed_;
  return SendAll(data, size);
}

bool HttpResponder::Send(int status, const std::string& contentType, const std::string& body) {
  return SendHead(status, {{"Content-Type", contentType},
                           {"Content-Length", std::to_string(body.size())}}) &&
         SendBody(body.data(), body.size());
}

bool HttpResponder::ClientGone() const {
  if (failed_) return true;
  pollfd p{socket_, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

HttpServer::HttpServer(HttpHandler handler, HttpLimits limits)
    : handler_(std::move(handler)), limits_(limits) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(const std::string& address, int port) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof *v4;
  } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof *v6;
  } else {
    return false;
  }
  if (port < 0 || port > 65535) return false;
  listener_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return false;
  const int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      ::listen(listener_, 128) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    ::close(listener_);
    listener_ = -1;
    return false;
  }
  port_ = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
  for (int i = 0; i < limits_.readers; ++i) readers_.emplace_back([this] { ReaderLoop(); });
  return true;
}

void HttpServer::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    // shutdown() wakes the acceptor's accept() and every reader blocked on its connection.
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
    for (int client : open_) ::shutdown(client, SHUT_RDWR);
  }
  queued_.notify_all();
  if (acceptor_.joinable()) acceptor_.join();
  for (auto& reader : readers_)
    if (reader.joinable()) reader.join();
  for (int client : waiting_) ::close(client);
  waiting_.clear();
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

void HttpServer::AcceptLoop() {
  for (;;) {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    std::unique_lock lock(mutex_);
    if (stopping_) {
      if (client >= 0) ::close(client);
      return;
    }
    if (client < 0) {
      // Out of descriptors: wait for answers in progress to close some.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      continue;
    }
    const timeval sendTimeout{static_cast<time_t>(limits_.sendTimeout.count() / 1000),
                              static_cast<suseconds_t>(limits_.sendTimeout.count() % 1000 * 1000)};
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    if (waiting_.size() >= limits_.waiting) {
      lock.unlock();
      Reject(client, 503);
      ::close(client);
      continue;
    }
    waiting_.push_back(client);
    lock.unlock();
    queued_.notify_one();
  }
}

void HttpServer::ReaderLoop() {
  // A write to a client that hung up raises SIGPIPE, whose default ends the process. This
  // server's own sends pass MSG_NOSIGNAL; blocked in this thread, a library's write there
  // fails with EPIPE as well.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  for (;;) {
    int client;
    {
      std::unique_lock lock(mutex_);
      queued_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      client = waiting_.front();
      waiting_.pop_front();
      open_.insert(client);
    }
    Answer(client);
    {
      std::lock_guard lock(mutex_);
      open_.erase(client);
    }
    ::close(client);
  }
}

bool HttpServer::ReadHead(int client, std::string& head) {
  const auto deadline = std::chrono::steady_clock::now() + limits_.readTimeout;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (head.size() > limits_.maxHead) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{client, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

void HttpServer::Answer(int client) {
  std::string head;
  if (!ReadHead(client, head)) {
    if (head.size() > limits_.maxHead) Reject(client, 431);
    return;
  }
  const std::size_t lineEnd = head.find("\r\n");
  const std::string line = head.substr(0, lineEnd);
  const std::size_t first = line.find(' ');
  const std::size_t last = line.rfind(' ');
  if (first == std::string::npos || last <= first || !line.substr(last + 1).starts_with("HTTP/")) {
    Reject(client, 400);
    return;
  }
  HttpRequest request;
  request.method = line.substr(0, first);
  request.target = line.substr(first + 1, last - first - 1);
  request.host = HeaderValue(head, "host");
  request.range = HeaderValue(head, "range");
  HttpResponder responder(client, request.method == "HEAD");
  try {
    handler_(request, responder);
  } catch (const std::exception&) {
    // A request that fails halfway (its torrent removed under it, no memory, no thread to be
    // had) ends that answer, never the service.
    if (!responder.headSent()) responder.Send(500, "text/plain", "resp: the service could not answer\n");
  }
  ::shutdown(client, SHUT_WR);
}

}  // namespace morvane::stream
