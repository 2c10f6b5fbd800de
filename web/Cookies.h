#pragma once
// What a response's raw header text says about cookies and redirects, and the merge of new
// cookies into a caller's cookie text. Cookie texts are name=value items joined by "; ".

#include <string>
#include <string_view>

namespace morvane {

struct ResponseHeaderFacts {
  std::string newCookies;         // the items of the Set-Cookie lines, in order
  std::string redirectTarget;     // the last Location line's value, else the whole header text
  bool movedPermanently = false;  // the status is "HTTP/1.1 301 Moved ..."
};

// Reads the raw header text of a response (its lines separated by CR LF).
ResponseHeaderFacts AnalyseResponseHeaders(std::string_view rawHeaders);

// New items first, then the old items whose names the new text does not set again; items
// whose value is "deleted" are dropped with their old value, spaces removed, repeats removed.
// The result is written back into `cookies` and returned.
std::string MergeCookies(std::string& cookies, std::string_view newCookies);

}  // namespace morvane
