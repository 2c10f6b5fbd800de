#pragma once
// Writing one answer on a connection of the project's HTTP server (web/HttpServer.h): the
// status line with its reason phrase, the headers, and a body sent whole, streamed as it
// becomes available, or in chunks when its length is not known ahead. Every answer closes
// its connection.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morvane {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// The reason phrase of a status code; "Error" for one this server never sends.
const char* HttpReasonPhrase(int status);

// The header sets answers share: nothing kept by a cache, and readable by a page of any
// origin.
HttpHeaders NoStoreHeaders();
HttpHeaders CrossOriginHeaders();

class HttpResponder {
 public:
  // `socket` is blocking with a send time-out; a HEAD request gets the head alone.
  HttpResponder(int socket, bool headOnly) : socket_(socket), headOnly_(headOnly) {}
  HttpResponder(const HttpResponder&) = delete;
  HttpResponder& operator=(const HttpResponder&) = delete;

  // Headers added to every head this responder sends (a route's callers decide, for
  // instance, whether its answers may be read across origins).
  void AddToEveryHead(const HttpHeaders& headers);

  // The status line and headers; "Connection: close" is added.
  bool SendHead(int status, const HttpHeaders& headers);
  bool SendBody(const char* data, std::size_t size);
  // A whole answer with a text body, `extra` after the length.
  bool Send(int status, std::string_view contentType, std::string_view body,
            const HttpHeaders& extra = {});

  // An answer of unknown length: the head with "Transfer-Encoding: chunked", then each
  // SendChunk, then EndChunks. A connection closed without EndChunks tells the client that
  // the body was cut.
  bool StartChunks(int status, const HttpHeaders& headers);
  bool SendChunk(const char* data, std::size_t size);
  bool EndChunks();

  // True when the client has closed its end, the connection failed, or the server is
  // stopping (it shuts every connection down).
  bool ClientGone() const;
  bool headOnly() const { return headOnly_; }
  bool headSent() const { return status_ != 0; }
  int status() const { return status_; }

 private:
  bool SendAll(const char* data, std::size_t size);

  int socket_;
  bool headOnly_;
  int status_ = 0;
  bool failed_ = false;
  HttpHeaders everyHead_;
};

}  // namespace morvane
