#include "web/FetchPage.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <memory>
#include <string_view>
#include <vector>

#include "web/Cookies.h"
#include "web/CurlSession.h"
#include "web/Text.h"
#include "web/UrlParts.h"

namespace morvane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kDefaultUserAgent =
    "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1; NX4RD; .NET CLR 2.0.50727; .NET CLR "
    "3.0.04506.648; .NET CLR 3.5.21022)";
constexpr std::string_view kUserAgentLabel = "User-Agent:";
// The raw header text has to fit, with its terminating NUL, into a buffer of this size;
// a longer one is read as this many spaces. The servers the program talks to send a few
// hundred bytes of headers; an answer with more is not one of theirs, and blanking it means
// no cookie, redirect or charset is taken from it.
constexpr std::size_t kRawHeaderBuffer = 5000;
constexpr std::string_view kUtf8Marker = "utf-8";
// The marker counts in the body when it starts at a 1-based position below 500: near the
// top it is the page's own declaration in its head, further down it is text of the page
// that happens to mention the charset.
constexpr std::size_t kMarkerStarts = 499;
// A chain of 301 answers that the routine follows itself ends after this many repeats.
constexpr int kMostMovedRepeats = 10;
constexpr long kMostPlatformRedirects = 20;
// Larger pieces than curl's default mean fewer calls for a big page.
constexpr long kReceivePiece = 256 * 1024;
// A body announced up to this size gets its room at once; larger ones grow as they arrive,
// so a false announcement cannot make the routine claim memory it never fills.
constexpr curl_off_t kMostReserved = 64 << 20;

std::atomic<long long> gConnectMilliseconds{FetchTimeouts{}.connect.count()};
std::atomic<long long> gStallMilliseconds{FetchTimeouts{}.stall.count()};
std::atomic<std::size_t> gMostBodyBytes{FetchLimits{}.mostBodyBytes};
std::atomic<long long> gDeadlineMilliseconds{FetchLimits{}.deadline.count()};

// What one transfer has received so far.
struct Reception {
  CURL* handle = nullptr;
  std::string body;
  std::vector<std::string> headerLines;  // of the latest response only
  bool responded = false;
  bool inBody = false;
  curl_off_t sent = 0;
  Clock::time_point lastActivity = Clock::now();
  std::chrono::milliseconds stall{0};
  std::size_t mostBodyBytes = 0;
  bool overflowed = false;  // the body went past its cap
};

std::size_t ReceiveBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto& reception = *static_cast<Reception*>(user);
  const std::size_t length = size * count;
  if (length > reception.mostBodyBytes - reception.body.size()) {
    reception.overflowed = true;
    return 0;  // ends the transfer
  }
  reception.body.append(data, length);
  reception.inBody = true;
  reception.lastActivity = Clock::now();
  return length;
}

std::size_t ReceiveHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto& reception = *static_cast<Reception*>(user);
  const std::size_t length = size * count;
  reception.lastActivity = Clock::now();
  std::string_view line(data, length);
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (line.starts_with("HTTP/")) {
    // Each redirect hop, interim 1xx answer or proxy tunnel reply starts over: only the
    // last response's headers are reported.
    reception.headerLines.assign(1, std::string(line));
    reception.responded = true;
    reception.inBody = false;
  } else if (!line.empty() && reception.responded && !reception.inBody) {
    reception.headerLines.emplace_back(line);  // trailers after the body are not kept
  }
  if (line.empty() && reception.responded && !reception.inBody) {
    curl_off_t announced = -1;
    curl_easy_getinfo(reception.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (announced > 0 && announced <= kMostReserved &&
        static_cast<std::size_t>(announced) <= reception.mostBodyBytes) {
      reception.body.reserve(static_cast<std::size_t>(announced));
    }
  }
  return length;
}

// Ends a transfer on which nothing has moved for the stall time-out. curl calls this at
// least about once a second, also while the connection is silent.
int WatchProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
  auto& reception = *static_cast<Reception*>(user);
  const auto now = Clock::now();
  if (uploaded != reception.sent) {
    reception.sent = uploaded;
    reception.lastActivity = now;
    return 0;
  }
  return now - reception.lastActivity > reception.stall ? 1 : 0;
}

bool HoldsControlBytes(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

bool ContainsIgnoringCase(std::string_view text, std::string_view needle) {
  const auto lower = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  };
  return std::search(text.begin(), text.end(), needle.begin(), needle.end(), lower) != text.end();
}

// The value of the User-Agent line up to the end of that line; the default agent when the
// header text has none.
std::string UserAgentOf(std::string_view headerText) {
  const long long at = FindText(headerText, kUserAgentLabel, 1, true);
  if (at < 1) return std::string(kDefaultUserAgent);
  std::string_view value =
      headerText.substr(static_cast<std::size_t>(at - 1) + kUserAgentLabel.size());
  return TrimText(value.substr(0, value.find("\r\n")));
}

// The browser-like default lines a request carries unless the caller's text already has them.
std::string CompleteHeaderText(std::string text, const std::string& address) {
  const auto lacks = [&text](std::string_view label) { return FindText(text, label) < 1; };
  if (lacks("Referer:")) text += (text.empty() ? "Referer: " : "\r\nReferer: ") + address;
  if (lacks("Accept:")) text += "\r\nAccept: */*";
  if (lacks("Accept-Language:")) text += "\r\nAccept-Language: zh-cn";
  if (lacks("Content-Type:")) text += "\r\nContent-Type: application/x-www-form-urlencoded";
  return text;
}

HeaderList RequestHeaderList(std::string_view headerText) {
  HeaderList list;
  const auto append = [&list](const std::string& line) {
    if (curl_slist* longer = curl_slist_append(list.get(), line.c_str())) {
      list.release();
      list.reset(longer);
    }
  };
  for (std::string line : SplitText(headerText, "\r\n")) {
    if (line.empty()) continue;
    // curl reads "Name:" with a blank value as "leave this header out"; "Name;" is its way
    // of sending the line with an empty value, as written.
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos && TrimText(line.substr(colon + 1)).empty()) {
      line = line.substr(0, colon) + ";";
    }
    append(line);
  }
  // No "Expect: 100-continue" round trip before a body: the header text is all that is sent.
  if (!ContainsIgnoringCase(headerText, "Expect:")) append("Expect:");
  return list;
}

// Spaces cannot stand in a request line, and curl would escape the path's non-ASCII bytes
// itself in lower case; both are escaped here as a browser does. Everything else, the
// query above all, is sent as written.
std::string EscapePath(std::string_view path) {
  const std::size_t queryAt = std::min(path.find('?'), path.size());
  return PercentEscape(path.substr(0, queryAt),
                       [](unsigned char byte) { return byte == ' ' || byte >= 0x80; }) +
         PercentEscape(path.substr(queryAt), [](unsigned char byte) { return byte == ' '; });
}

// The address curl is given, built from the address parts so that host, port and path are
// exactly the ones the address rules derive; "" when no request can be made for it.
std::string RequestUrl(const AddressParts& parts) {
  if (parts.port < 0 || parts.port > 65535) return {};
  std::string url = parts.secure ? "https://" : "http://";
  url += parts.host;
  if (parts.port != 0) url += ":" + std::to_string(parts.port);
  url += EscapePath(parts.path);
  ParsedUrl parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return {};
  }
  return url;
}

std::string JoinHeaderLines(const std::vector<std::string>& lines) {
  std::string joined;
  for (const std::string& line : lines) {
    if (!joined.empty()) joined += "\r\n";
    joined += line;
  }
  return joined;
}

bool NamesUtf8(std::string_view body, std::string_view rawHeaders) {
  const std::string_view window = body.substr(0, kMarkerStarts + kUtf8Marker.size() - 1);
  return window.find(kUtf8Marker) != std::string_view::npos ||
         ContainsIgnoringCase(rawHeaders, kUtf8Marker);
}

// `due`: when the whole call, 301 repeats included, has to be over.
std::string Fetch(const std::string& address, const FetchOptions& options, int repeats,
                  Clock::time_point due) {
  if (HoldsControlBytes(address)) return {};  // would reach the request line or the Referer
  const AddressParts parts = SplitAddress(address);
  const std::string url = RequestUrl(parts);
  if (url.empty()) return {};

  EnsureCurlReady();
  EasyHandle easy(curl_easy_init());
  if (!easy) return {};
  CURL* const handle = easy.get();

  const bool ownCookies = options.cookies != nullptr;
  const std::string givenHeaderText = options.headerText ? *options.headerText : std::string();
  const std::string agent = UserAgentOf(givenHeaderText);
  const std::string headerText = CompleteHeaderText(givenHeaderText, address);
  std::string sentHeaderText = headerText;
  if (ownCookies && !options.cookies->empty()) sentHeaderText += "\r\nCookie: " + *options.cookies;
  if (options.headerText) *options.headerText = sentHeaderText;
  const HeaderList headers = RequestHeaderList(sentHeaderText);

  std::string ownBody;
  std::string* const body = options.bodyBytes ? options.bodyBytes : &ownBody;
  if (options.method != 0 && body->empty()) *body = options.bodyText;

  Reception reception;
  reception.handle = handle;
  reception.stall = std::chrono::milliseconds(gStallMilliseconds.load());
  reception.mostBodyBytes = gMostBodyBytes.load();
  HttpsGuard guard;

  const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
  if (left.count() <= 0) return {};

  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  RestrictToWebProtocols(handle, parts.secure, guard);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(handle, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, options.noAutomaticRedirect ? 0L : 1L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMostPlatformRedirects);
  // The proxy serves plain HTTP only; without one, proxy settings of the environment are
  // ignored as well.
  const std::string proxy =
      options.proxy && !options.proxy->empty() && !parts.secure ? "http://" + *options.proxy : "";
  curl_easy_setopt(handle, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(gConnectMilliseconds.load()));
  if (due != Clock::time_point::max())
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(std::min<long long>(left.count(), LONG_MAX)));
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &WatchProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &reception);
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceivePiece);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &ReceiveBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reception);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &ReceiveHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &reception);
  if (options.method == 0) {
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body->data());
    if (options.method != 1) curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, "GET");
  }
  if (!ownCookies) {
    curl_easy_setopt(handle, CURLOPT_SHARE, ProcessCookieStore());
    curl_easy_setopt(handle, CURLOPT_COOKIEFILE, "");
  }

  // A failed transfer is not an error of its own: what arrived until then is the answer,
  // and without any response the header text is the untouched blank buffer.
  // Past a cap, the deadline or into a step down to plain HTTP, though, the page is not
  // read at all.
  const CURLcode result = curl_easy_perform(handle);
  easy.reset();
  // (curl refuses a redirect from a secure address to plain HTTP as an unsupported protocol.)
  const bool failed = reception.overflowed || guard.refused ||
                      result == CURLE_OPERATION_TIMEDOUT || result == CURLE_UNSUPPORTED_PROTOCOL;
  if (failed) reception.body.clear();

  std::string rawHeaders = reception.responded && !failed
                               ? JoinHeaderLines(reception.headerLines)
                               : std::string(kRawHeaderBuffer, ' ');
  rawHeaders.resize(std::min(rawHeaders.find('\0'), rawHeaders.size()));
  if (rawHeaders.size() >= kRawHeaderBuffer) rawHeaders.assign(kRawHeaderBuffer, ' ');
  if (options.rawHeaders) *options.rawHeaders = rawHeaders;

  const ResponseHeaderFacts facts = AnalyseResponseHeaders(rawHeaders);
  if (options.newCookies) *options.newCookies = facts.newCookies;
  if (ownCookies) MergeCookies(*options.cookies, facts.newCookies);
  if (options.redirectTarget) *options.redirectTarget = facts.redirectTarget;

  if (facts.movedPermanently && !options.asReceived) {
    if (repeats >= kMostMovedRepeats) return {};
    const std::string movedAddress = facts.redirectTarget + parts.path;
    // An answer that came over HTTPS is never repeated in plain HTTP: the path, the query
    // and the Referer would go out in clear.
    if ((parts.secure || guard.reached) && !AddressIsSecure(movedAddress)) return {};
    if (options.redirectTarget) options.redirectTarget->clear();
    // The repeat sends this request's header text (its Referer still names the first
    // address) and composes a fresh Cookie line from the merged cookie text.
    std::string repeatHeaderText;
    FetchOptions repeat = options;
    repeat.headerText = options.headerText ? options.headerText : &repeatHeaderText;
    *repeat.headerText = headerText;
    repeat.bodyBytes = body;
    return Fetch(movedAddress, repeat, repeats + 1, due);
  }

  if (!options.asReceived && NamesUtf8(reception.body, rawHeaders))
    return Utf8ToLocal(reception.body);
  return std::move(reception.body);
}

Clock::time_point DueTime(const FetchOptions& options) {
  const std::chrono::milliseconds limit = options.deadline.count() > 0
                                              ? options.deadline
                                              : std::chrono::milliseconds(gDeadlineMilliseconds);
  if (limit.count() <= 0) return Clock::time_point::max();
  return Clock::now() + limit;
}

}  // namespace

std::string FetchPage(const std::string& address, const FetchOptions& options) {
  std::string page = Fetch(address, options, 0, DueTime(options));
  page.resize(std::min(page.find('\0'), page.size()));
  return page;
}

std::string FetchPageBytes(const std::string& address, const FetchOptions& options) {
  return Fetch(address, options, 0, DueTime(options));
}

void SetFetchTimeouts(const FetchTimeouts& timeouts) {
  gConnectMilliseconds = timeouts.connect.count();
  gStallMilliseconds = timeouts.stall.count();
}

FetchTimeouts GetFetchTimeouts() {
  return FetchTimeouts{std::chrono::milliseconds(gConnectMilliseconds.load()),
                       std::chrono::milliseconds(gStallMilliseconds.load())};
}

void SetFetchLimits(const FetchLimits& limits) {
  gMostBodyBytes = limits.mostBodyBytes;
  gDeadlineMilliseconds = limits.deadline.count();
}

FetchLimits GetFetchLimits() {
  return FetchLimits{gMostBodyBytes.load(), std::chrono::milliseconds(gDeadlineMilliseconds.load())};
}

}  // namespace morvane
