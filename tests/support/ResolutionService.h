#pragma once
// A stand-in for the video resolution service on 127.0.0.1, on a free port, for one test.

#include <functional>
#include <string>
#include <vector>

#include "tests/support/RawServer.h"

namespace morvane::testing {

// It answers every request with what `answer` makes of the raw request target and remembers
// the targets. A byte-level server, because the links it receives (magnet links put a
// second "?" into the query) are valid in a request line but refused with 400 by the HTTP
// library behind LocalServer.
class ResolutionService {
 public:
  explicit ResolutionService(std::function<std::string(const std::string& target)> answer)
      : server_([answer = std::move(answer)](const std::string& request) {
          return RawReply{RawAnswer("HTTP/1.1 200 OK", "Content-Type: text/xml\r\n",
                                    answer(Target(request)))};
        }) {}

  int port() const { return server_.port(); }
  std::string host() const { return server_.host(); }
  std::vector<std::string> Targets() const {
    std::vector<std::string> targets;
    for (const std::string& request : server_.requests()) targets.push_back(Target(request));
    return targets;
  }

 private:
  // "GET <target> HTTP/1.1"
  static std::string Target(const std::string& request) {
    const std::string line = request.substr(0, request.find("\r\n"));
    const std::size_t first = line.find(' '), last = line.rfind(' ');
    return first < last ? line.substr(first + 1, last - first - 1) : std::string();
  }

  RawServer server_;
};

}  // namespace morvane::testing
