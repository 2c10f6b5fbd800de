#include "stream/CurlTransfer.h"

#include <curl/curl.h>
#include <sys/socket.h>

#include <memory>

#include "web/CurlSession.h"

namespace morvane::stream {

namespace {

// A peer that sends nothing for this long ends the transfer.
constexpr long kStallSeconds = 60;
constexpr long kConnectSeconds = 15;

using Easy = EasyHandle;

curl_socket_t OpenChecked(void* user, curlsocktype, curl_sockaddr* address) {
  const auto* rules = static_cast<const TransferRules*>(user);
  if (rules->refuseAddress && rules->refuseAddress(&address->addr)) return CURL_SOCKET_BAD;
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

int CheckCancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* rules = static_cast<const TransferRules*>(user);
  return rules->cancelled && rules->cancelled() ? 1 : 0;
}

Easy MakeEasy(const std::string& address, const TransferRules& rules) {
  EnsureCurlReady();
  Easy easy(curl_easy_init());
  if (!easy) return easy;
  CURL* const e = easy.get();
  curl_easy_setopt(e, CURLOPT_URL, address.c_str());
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 8L);
  curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https,ftp,ftps");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp,ftps");
  if (rules.refuseAddress) {
    // Every connection, redirects and ftp data connections included, is opened here, to the
    // address libcurl resolved: checked where it is used, so a name that resolves one way
    // for a check and another for the connection changes nothing. A proxy would be the
    // address checked instead of the target's, so none is taken from the environment.
    curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, &OpenChecked);
    curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, &rules);
    curl_easy_setopt(e, CURLOPT_PROXY, "");
  }
  if (rules.cancelled) {
    // libcurl asks at least once a second, also while nothing arrives.
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &CheckCancelled);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &rules);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  }
  return easy;
}

struct Collector {
  std::string body;
  std::size_t maxBytes;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* collector = static_cast<Collector*>(user);
  const std::size_t n = size * count;
  if (collector->body.size() + n > collector->maxBytes) return 0;  // too big: abort
  collector->body.append(data, n);
  return n;
}

struct Relay {
  const std::function<bool(const char*, std::size_t)>* sink;
  std::int64_t left;
};

std::size_t Pass(char* data, std::size_t size, std::size_t count, void* user) {
  auto* relay = static_cast<Relay*>(user);
  std::size_t n = size * count;
  // Servers that ignore the range send more than asked; the surplus is not the player's.
  const std::size_t wanted = std::min<std::size_t>(n, static_cast<std::size_t>(relay->left));
  if (wanted > 0 && !(*relay->sink)(data, wanted)) return 0;
  relay->left -= static_cast<std::int64_t>(wanted);
  return relay->left > 0 ? n : (wanted == n ? n : 0);
}

}  // namespace

std::optional<std::string> FetchSmallFile(const std::string& address, std::size_t maxBytes,
                                          const TransferRules& rules) {
  Easy easy = MakeEasy(address, rules);
  if (!easy) return std::nullopt;
  Collector collector{{}, maxBytes};
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &collector);
  curl_easy_setopt(easy.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
  // A body that drips a byte now and then passes the stall limit: the whole has a deadline.
  curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(rules.deadline.count()));
  if (curl_easy_perform(easy.get()) != CURLE_OK) return std::nullopt;
  return std::move(collector.body);
}

std::int64_t RemoteSize(const std::string& address, const TransferRules& rules) {
  Easy easy = MakeEasy(address, rules);
  if (!easy) return -1;
  curl_easy_setopt(easy.get(), CURLOPT_NOBODY, 1L);
  curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(rules.deadline.count()));
  // For ftp, libcurl hands the size over as header-like text to the body's writer, which
  // would otherwise be standard output.
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION,
                   +[](char*, std::size_t size, std::size_t count, void*) { return size * count; });
  if (curl_easy_perform(easy.get()) != CURLE_OK) return -1;
  curl_off_t size = -1;
  curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
  return size;
}

bool FetchRange(const std::string& address, std::int64_t begin, std::int64_t end,
                const std::function<bool(const char*, std::size_t)>& sink, const TransferRules& rules) {
  if (end <= begin) return true;
  Easy easy = MakeEasy(address, rules);
  if (!easy) return false;
  Relay relay{&sink, end - begin};
  const std::string range = std::to_string(begin) + "-" + std::to_string(end - 1);
  curl_easy_setopt(easy.get(), CURLOPT_RANGE, range.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &Pass);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &relay);
  const CURLcode result = curl_easy_perform(easy.get());
  return relay.left == 0 && (result == CURLE_OK || result == CURLE_WRITE_ERROR);
}

}  // namespace morvane::stream
