#include "web/HttpResponder.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

namespace morvane {

const char* HttpReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 416: return "Range Not Satisfiable";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Error";
  }
}

HttpHeaders NoStoreHeaders() { return {{"Cache-Control", "no-store"}}; }

HttpHeaders CrossOriginHeaders() { return {{"Access-Control-Allow-Origin", "*"}}; }

void HttpResponder::AddToEveryHead(const HttpHeaders& headers) {
  everyHead_.insert(everyHead_.end(), headers.begin(), headers.end());
}

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
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + HttpReasonPhrase(status) + "\r\n";
  for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
  for (const auto& [name, value] : everyHead_) head += name + ": " + value + "\r\n";
  head += "Connection: close\r\n\r\n";
  status_ = status;
  return SendAll(head.data(), head.size());
}

bool HttpResponder::SendBody(const char* data, std::size_t size) {
  if (headOnly_) return !failed_;
  return SendAll(data, size);
}

bool HttpResponder::Send(int status, std::string_view contentType, std::string_view body,
                         const HttpHeaders& extra) {
  HttpHeaders headers{{"Content-Type", std::string(contentType)},
                      {"Content-Length", std::to_string(body.size())}};
  headers.insert(headers.end(), extra.begin(), extra.end());
  return SendHead(status, headers) && SendBody(body.data(), body.size());
}

bool HttpResponder::StartChunks(int status, const HttpHeaders& headers) {
  HttpHeaders chunked = headers;
  chunked.emplace_back("Transfer-Encoding", "chunked");
  return SendHead(status, chunked);
}

bool HttpResponder::SendChunk(const char* data, std::size_t size) {
  // An empty chunk would end the body.
  if (size == 0 || headOnly_) return !failed_;
  char line[24];
  const int n = std::snprintf(line, sizeof line, "%zx\r\n", size);
  return SendAll(line, static_cast<std::size_t>(n)) && SendAll(data, size) && SendAll("\r\n", 2);
}

bool HttpResponder::EndChunks() {
  if (headOnly_) return !failed_;
  return SendAll("0\r\n\r\n", 5);
}

bool HttpResponder::ClientGone() const {
  if (failed_) return true;
  pollfd p{socket_, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

}  // namespace morvane
