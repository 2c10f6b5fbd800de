#pragma once
// The one routine through which every page is read. All arguments after the address are
// optional; an argument that is "not given" differs from one given empty (for the cookies
// and the proxy it changes the behaviour). Failures give the empty result.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace morvane {

struct FetchOptions {
  int method = 0;                         // 0 GET; 1 POST; other non-zero: GET with a body
  std::string bodyText;                   // used when bodyBytes is empty
  std::string* cookies = nullptr;         // in/out; given switches on own cookie handling
  std::string* newCookies = nullptr;      // out
  std::string* headerText = nullptr;      // in/out: extra lines, gets the composed text
  std::string* redirectTarget = nullptr;  // out
  bool noAutomaticRedirect = false;
  std::string* bodyBytes = nullptr;       // in/out
  std::optional<std::string> proxy;       // host:port; given makes HTTP go through it
  std::string* rawHeaders = nullptr;      // out
  std::chrono::milliseconds deadline{0};  // whole-request limit for this call; 0: the process-wide one
  // The answer as the server sent it: the body's bytes without the UTF-8 conversion, and a
  // 301 left to the caller (redirectTarget, rawHeaders) instead of repeated by the routine.
  // For readers of formats that name their own encoding (XML) and of redirects to other
  // schemes (a download link answered with a magnet link).
  bool asReceived = false;
};

// Result text in GBK, ending before the body's first NUL byte.
std::string FetchPage(const std::string& address, const FetchOptions& options = {});
// Result bytes in GBK (converted under the same charset rule), NUL bytes kept.
std::string FetchPageBytes(const std::string& address, const FetchOptions& options = {});

// Time-outs of every request: a connection that cannot be made within `connect`, or a
// transfer that receives no byte for `stall`, ends the request. Tests shorten them.
struct FetchTimeouts {
  std::chrono::milliseconds connect{15000};
  std::chrono::milliseconds stall{60000};
};
void SetFetchTimeouts(const FetchTimeouts& timeouts);
FetchTimeouts GetFetchTimeouts();

// The caps of every page request (build settings, applied at start-up): a body longer than
// `mostBodyBytes`, or a call still running after `deadline` (its 301 repeats included; 0: no
// deadline), fails as an unreachable page does: the empty result, and the headers as if no
// answer had come. The defaults are the build defaults.
struct FetchLimits {
  std::size_t mostBodyBytes = std::size_t{64} << 20;
  std::chrono::milliseconds deadline{120000};
};
void SetFetchLimits(const FetchLimits& limits);
FetchLimits GetFetchLimits();

}  // namespace morvane
