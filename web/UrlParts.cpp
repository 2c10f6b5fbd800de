#include "web/UrlParts.h"

#include <climits>

#include "web/Text.h"

namespace morvane {

namespace {

constexpr std::string_view kHttp = "http://";
constexpr std::string_view kHttps = "https://";

// ASCII letters only: the second byte of a GBK character may fall in the A-Z range and
// must keep its value.
std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (std::size_t i = 0; i < lower.size(); ++i) {
    const auto byte = static_cast<unsigned char>(lower[i]);
    if (byte >= 0x80) {
      ++i;
    } else if (byte >= 'A' && byte <= 'Z') {
      lower[i] = static_cast<char>(byte - 'A' + 'a');
    }
  }
  return lower;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && LowerAscii(text.substr(0, prefix.size())) == prefix;
}

// Host as written in the address, port included, lower-cased.
std::string HostWithPort(std::string_view address) {
  std::string lower = LowerAscii(address);
  if (lower.empty() || lower.back() != '/') lower += '/';
  std::size_t begin;
  if (lower.starts_with(kHttps)) {
    begin = kHttps.size();
  } else {
    std::size_t at = lower.find(kHttp);
    if (at == std::string::npos) {
      lower.insert(0, kHttp);
      at = 0;
    }
    begin = at + kHttp.size();
  }
  const std::size_t end = lower.find('/', begin);
  return lower.substr(begin, end - begin);
}

// Leading sign and digits, as a number conversion of the runtime reads them; 0 without
// digits.
long long IntegerValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value > (LLONG_MAX - 9) / 10 ? LLONG_MAX : value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

}  // namespace

std::string AddressHost(std::string_view address) {
  std::string host = HostWithPort(address);
  const std::size_t colon = host.find(':');
  if (colon != std::string::npos) host.erase(colon);
  return host;
}

long long AddressPort(std::string_view address) {
  const std::string host = HostWithPort(address);
  const std::size_t colon = host.rfind(':');
  if (colon != std::string::npos) return IntegerValue(std::string_view(host).substr(colon + 1));
  return AddressIsSecure(address) ? 443 : 80;
}

std::string AddressPath(std::string_view address) {
  const std::string host = AddressHost(address);
  // The host is looked for behind the scheme: a host such as "t" or "http" would otherwise
  // be found inside the scheme itself and the path would start at "//".
  long long start = 1;
  if (StartsWithIgnoringCase(address, kHttps)) {
    start = static_cast<long long>(kHttps.size()) + 1;
  } else if (StartsWithIgnoringCase(address, kHttp)) {
    start = static_cast<long long>(kHttp.size()) + 1;
  }
  const long long hostAt = FindText(address, host, start, true);
  if (hostAt < 1) return "/";
  const std::size_t slash = address.find('/', static_cast<std::size_t>(hostAt - 1));
  if (slash == std::string_view::npos) return "/";
  return std::string(address.substr(slash));
}

bool AddressIsSecure(std::string_view address) {
  // Only the scheme makes an address secure: a scheme-less host that happens to begin with
  // "https" is still a plain address.
  return StartsWithIgnoringCase(address, kHttps);
}

AddressParts SplitAddress(std::string_view address) {
  return AddressParts{AddressHost(address), AddressPort(address), AddressPath(address),
                      AddressIsSecure(address)};
}

}  // namespace morvane
