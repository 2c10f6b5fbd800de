#include "web/HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace morvane {

namespace {

using Clock = std::chrono::steady_clock;

// The longest the reading thread sleeps with nothing to do.
constexpr std::chrono::milliseconds kLongestWait{1000};
// For the reading thread's own short answers (refusals) to be taken by the client.
constexpr std::chrono::milliseconds kRefusalWriteTime{5000};
// Out of descriptors: new connections wait in the listen queue this long before the next try.
constexpr std::chrono::milliseconds kAcceptPause{50};

std::string HeaderValue(std::string_view head, std::string_view name) {
  std::size_t line = head.find("\r\n");
  while (line != std::string_view::npos && line + 2 < head.size()) {
    const std::size_t start = line + 2;
    const std::size_t end = head.find("\r\n", start);
    if (end == std::string_view::npos || end == start) break;
    const std::size_t colon = head.find(':', start);
    if (colon != std::string_view::npos && colon < end && colon - start == name.size()) {
      bool same = true;
      for (std::size_t i = 0; i < name.size() && same; ++i)
        same = std::tolower(static_cast<unsigned char>(head[start + i])) == name[i];
      if (same) {
        std::size_t v = colon + 1;
        while (v < end && (head[v] == ' ' || head[v] == '\t')) ++v;
        std::size_t e = end;
        while (e > v && (head[e - 1] == ' ' || head[e - 1] == '\t')) --e;
        return std::string(head.substr(v, e - v));
      }
    }
    line = end;
  }
  return {};
}

// The numeric text of an address; an IPv4 address reached over an IPv6 socket as itself.
std::string AddressText(const sockaddr_storage& storage, bool withPort) {
  char text[INET6_ADDRSTRLEN] = {};
  int port = 0;
  std::string address;
  bool v6 = false;
  if (storage.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
    address = text;
  } else if (storage.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&storage);
    port = ntohs(a->sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr)) {
      ::inet_ntop(AF_INET, &a->sin6_addr.s6_addr[12], text, sizeof text);
    } else {
      ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
      v6 = true;
    }
    address = text;
  }
  if (!withPort) return address;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

bool IsDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
}

}  // namespace

bool IsLoopbackHostHeader(std::string_view host) {
  std::string_view name = host;
  if (name.starts_with('[')) {
    const auto close = name.find(']');
    if (close == std::string_view::npos) return false;
    const std::string_view after = name.substr(close + 1);
    if (!after.empty() && !(after.starts_with(':') && IsDigits(after.substr(1)))) return false;
    return name.substr(1, close - 1) == "::1";
  }
  if (const auto colon = name.find(':'); colon != std::string_view::npos) {
    if (!IsDigits(name.substr(colon + 1))) return false;
    name = name.substr(0, colon);
  }
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "localhost" || lower == "localhost.") return true;
  in_addr v4{};
  return ::inet_pton(AF_INET, lower.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

struct HttpServer::Connection {
  int fd = -1;
  std::uint64_t order = 0;  // of acceptance: the oldest goes first
  Clock::time_point deadline;
  std::string head;
  HttpRequest request;
  bool writing = false;  // a refusal is going out
  bool done = false;
  std::string out;
  std::size_t sent = 0;
  int status = 0;
  // Closed by the client before it sent a byte: no request, nothing to answer or log
  // (Morvane looks whether its resolution host answers exactly this way).
  bool empty = false;
};

struct HttpServer::Job {
  int fd = -1;
  HttpRequest request;
  std::size_t pool = 0;
};

struct HttpServer::Pool {
  HttpPool limits;
  std::condition_variable queued;
  std::deque<Job> waiting;  // guarded by the server's mutex
  std::vector<std::thread> workers;
};

HttpServer::HttpServer(HttpHandler handler, HttpLimits limits, HttpPoolChoice choose, HttpLog log)
    : handler_(std::move(handler)),
      limits_(std::move(limits)),
      choose_(std::move(choose)),
      log_(std::move(log)) {
  if (limits_.pools.empty()) limits_.pools.push_back({});
}

HttpServer::~HttpServer() {
  Stop();
  if (listener_ >= 0) ::close(listener_);
  if (wake_ >= 0) ::close(wake_);
}

bool HttpServer::Bind(const std::string& address, int port) {
  if (listener_ >= 0 || port < 0 || port > 65535) return false;
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof *v4;
    loopback_ = (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof *v6;
    loopback_ = IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
  } else {
    return false;
  }
  const int listener = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener < 0) return false;
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      ::listen(listener, 512) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    ::close(listener);
    return false;
  }
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) {
    ::close(listener);
    return false;
  }
  listener_ = listener;
  port_ = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
  std::lock_guard lock(mutex_);
  for (const HttpPool& limits : limits_.pools) {
    auto pool = std::make_unique<Pool>();
    pool->limits = limits;
    for (int i = 0; i < std::max(1, limits.workers); ++i)
      pool->workers.emplace_back([this, p = pool.get()] { Work(*p); });
    pools_.push_back(std::move(pool));
  }
  return true;
}

bool HttpServer::Start() {
  if (listener_ < 0 || reader_.joinable()) return false;
  reader_ = std::thread([this] { Run(); });
  return true;
}

bool HttpServer::Start(const std::string& address, int port) { return Bind(address, port) && Start(); }

void HttpServer::Stop() {
  std::vector<Job> left;
  {
    std::lock_guard lock(mutex_);
    if (stopping_ && pools_.empty()) return;
    stopping_ = true;
    // shutdown() wakes every worker blocked on its connection; the handlers see the client gone.
    for (int fd : answering_) ::shutdown(fd, SHUT_RDWR);
  }
  if (wake_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  }
  std::vector<std::unique_ptr<Pool>> pools;
  {
    std::lock_guard lock(mutex_);
    for (auto& pool : pools_) pool->queued.notify_all();
    pools.swap(pools_);
  }
  for (auto& pool : pools) {
    for (auto& worker : pool->workers)
      if (worker.joinable()) worker.join();
    for (Job& job : pool->waiting) ::close(job.fd);
  }
  if (reader_.joinable()) reader_.join();
  // Run on a caller's thread: it returns once it sees the stop; the caller joins it.
  while (running_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void HttpServer::Run() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || listener_ < 0) return;
    running_ = true;
  }
  std::vector<Connection> open;
  std::vector<pollfd> polled;
  std::uint64_t order = 0;
  Clock::time_point acceptPausedUntil{};
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
    }
    const auto now = Clock::now();
    auto wait = kLongestWait;
    const bool accepting = now >= acceptPausedUntil;
    if (!accepting)
      wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(acceptPausedUntil - now) +
                                std::chrono::milliseconds(1));
    polled.clear();
    polled.push_back({wake_, POLLIN, 0});
    polled.push_back({listener_, static_cast<short>(accepting ? POLLIN : 0), 0});
    for (const Connection& c : open) {
      polled.push_back({c.fd, static_cast<short>(c.writing ? POLLOUT : POLLIN), 0});
      wait = std::min(wait, std::max(std::chrono::milliseconds(0),
                                     std::chrono::duration_cast<std::chrono::milliseconds>(
                                         c.deadline - now) + std::chrono::milliseconds(1)));
    }
    if (::poll(polled.data(), polled.size(), static_cast<int>(wait.count())) < 0 && errno != EINTR)
      break;
    if (polled[0].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
    }
    // The indexes of `polled` match `open` until new connections are accepted below.
    for (std::size_t i = 0; i < open.size(); ++i) {
      Connection& c = open[i];
      if (polled[i + 2].revents != 0 && !c.done) {
        if (c.writing)
          Write(c);
        else
          Read(c);
      }
      if (!c.done && Clock::now() >= c.deadline) {
        if (c.writing)
          Finish(c);  // a refusal the client does not take
        else
          Refuse(c, 408, "the request head did not arrive in time\n");
      }
    }
    std::erase_if(open, [](const Connection& c) { return c.done; });
    if (accepting && (polled[1].revents & POLLIN)) {
      const std::size_t before = open.size();
      Accept(open, order);
      if (open.size() == before && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM))
        acceptPausedUntil = Clock::now() + kAcceptPause;
    }
  }
  for (Connection& c : open) {
    c.empty = true;  // not answered: the service is stopping
    Finish(c);
  }
  running_ = false;
}

void HttpServer::Accept(std::vector<Connection>& open, std::uint64_t& order) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    // Answers go out as a head and then pieces of a body: with Nagle's algorithm, a piece
    // shorter than a segment waits for the client's acknowledgement of the head, which a
    // client delays by up to 40 ms.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Connection c;
    c.fd = fd;
    c.order = order++;
    c.deadline = Clock::now() + limits_.headTimeout;
    c.request.client = AddressText(peer, false);
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0)
      c.request.local = AddressText(local, true);

    open.push_back(std::move(c));
    Read(open.back());  // its head may be there already
    MakeRoom(open, open.back().request.client);
  }
}

void HttpServer::MakeRoom(std::vector<Connection>& open, const std::string& client) {
  // Room is made by closing the oldest connection still sending its head: the client's own
  // when it holds more than its share, else anyone's once there are too many. What already
  // came on it is read first: a head that is complete by now is answered, not dropped.
  for (;;) {
    std::size_t reading = 0, ofClient = 0;
    Connection* oldest = nullptr;
    Connection* oldestOfClient = nullptr;
    for (Connection& other : open) {
      if (other.done || other.writing) continue;
      ++reading;
      if (!oldest || other.order < oldest->order) oldest = &other;
      if (other.request.client == client) {
        ++ofClient;
        if (!oldestOfClient || other.order < oldestOfClient->order) oldestOfClient = &other;
      }
    }
    Connection* victim = ofClient > limits_.perClientReading ? oldestOfClient
                         : reading > limits_.maxReading       ? oldest
                                                              : nullptr;
    if (!victim) return;
    Read(*victim);
    if (!victim->done && !victim->writing) {
      victim->empty = true;
      Finish(*victim);
    }
  }
}

void HttpServer::Read(Connection& c) {
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && c.head.empty()) {
      c.empty = true;
      Finish(c);
      return;
    }
    if (n <= 0) {
      // The client is done sending before its head ended.
      Refuse(c, 400, "an incomplete request\n");
      return;
    }
    const std::size_t searchFrom = c.head.size() < 3 ? 0 : c.head.size() - 3;
    c.head.append(buffer, static_cast<std::size_t>(n));
    if (c.head.find("\r\n\r\n", searchFrom) != std::string::npos) {
      Dispatch(c);
      return;
    }
    if (c.head.size() > limits_.maxHead) {
      Refuse(c, 431, "the request head is too long\n");
      return;
    }
  }
}

void HttpServer::Dispatch(Connection& c) {
  const std::string_view head(c.head);
  const std::string_view line = head.substr(0, head.find("\r\n"));
  const std::size_t first = line.find(' ');
  const std::size_t last = line.rfind(' ');
  if (c.head.size() > limits_.maxHead) {
    Refuse(c, 431, "the request head is too long\n");
    return;
  }
  if (first == std::string_view::npos || first == 0 || last <= first ||
      !line.substr(last + 1).starts_with("HTTP/")) {
    Refuse(c, 400, "a malformed request line\n");
    return;
  }
  HttpRequest& request = c.request;
  request.method = std::string(line.substr(0, first));
  request.target = std::string(line.substr(first + 1, last - first - 1));
  request.host = HeaderValue(head, "host");
  request.range = HeaderValue(head, "range");
  request.authorization = HeaderValue(head, "authorization");
  request.origin = HeaderValue(head, "origin");
  request.referer = HeaderValue(head, "referer");
  request.fetchSite = HeaderValue(head, "sec-fetch-site");
  c.head.clear();
  c.head.shrink_to_fit();
  if (loopback_ && limits_.loopbackHostsOnly && !request.host.empty() &&
      !IsLoopbackHostHeader(request.host)) {
    Refuse(c, 421, "this service answers only for loopback names\n");
    return;
  }
  std::size_t index = choose_ ? choose_(request) : 0;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      c.empty = true;
      Finish(c);
      return;
    }
    index = std::min(index, pools_.size() - 1);
    Pool& pool = *pools_[index];
    const auto held = clientRequests_.find({index, request.client});
    const std::size_t ofClient = held == clientRequests_.end() ? 0 : held->second;
    if (pool.waiting.size() < pool.limits.queue &&
        (pool.limits.perClient == 0 || ofClient < pool.limits.perClient)) {
      ++clientRequests_[{index, request.client}];
      pool.waiting.push_back({c.fd, request, index});
      pool.queued.notify_one();
      c.fd = -1;
      c.done = true;  // the worker owns the connection now
      return;
    }
  }
  Refuse(c, 503, "busy: ask again shortly\n", true);
}

void HttpServer::Refuse(Connection& c, int status, std::string_view body, bool retryAfter) {
  c.status = status;
  c.out = "HTTP/1.1 " + std::to_string(status) + " " + HttpReasonPhrase(status) +
          "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  if (retryAfter) c.out += "Retry-After: " + std::to_string(limits_.retryAfterSeconds) + "\r\n";
  c.out += "Connection: close\r\n\r\n";
  if (c.request.method != "HEAD") c.out += body;
  c.head.clear();
  c.head.shrink_to_fit();
  c.writing = true;
  c.deadline = Clock::now() + kRefusalWriteTime;
  Write(c);
}

void HttpServer::Write(Connection& c) {
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

void HttpServer::Finish(Connection& c) {
  if (c.done) return;
  c.done = true;
  ::close(c.fd);
  c.fd = -1;
  if (log_ && !c.empty) {
    try {
      log_(c.request, c.status);
    } catch (...) {
      // A log that cannot be written never stops the server.
    }
  }
}

void HttpServer::Work(Pool& pool) {
  // A write to a client that hung up raises SIGPIPE, whose default ends the process. This
  // server's own sends pass MSG_NOSIGNAL; blocked in this thread, a library's write there
  // fails with EPIPE as well.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  const timeval sendTimeout{static_cast<time_t>(limits_.sendTimeout.count() / 1000),
                            static_cast<suseconds_t>(limits_.sendTimeout.count() % 1000 * 1000)};
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      pool.queued.wait(lock, [&] { return stopping_ || !pool.waiting.empty(); });
      if (stopping_) return;
      job = std::move(pool.waiting.front());
      pool.waiting.pop_front();
      answering_.insert(job.fd);
    }
    const int flags = ::fcntl(job.fd, F_GETFL);
    if (flags >= 0) ::fcntl(job.fd, F_SETFL, flags & ~O_NONBLOCK);
    ::setsockopt(job.fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    HttpResponder responder(job.fd, job.request.method == "HEAD");
    try {
      handler_(job.request, responder);
    } catch (...) {
      // A request that fails halfway (its torrent removed under it, no memory, no thread to
      // be had) ends that answer, never the server.
      if (!responder.headSent())
        responder.Send(500, "text/plain", "resp: the service could not answer\n");
    }
    if (log_) {
      try {
        log_(job.request, responder.status());
      } catch (...) {
      }
    }
    ::shutdown(job.fd, SHUT_WR);
    {
      std::lock_guard lock(mutex_);
      answering_.erase(job.fd);
      const auto it = clientRequests_.find({job.pool, job.request.client});
      if (it != clientRequests_.end() && --it->second == 0) clientRequests_.erase(it);
    }
    ::close(job.fd);
  }
}

}  // namespace morvane
