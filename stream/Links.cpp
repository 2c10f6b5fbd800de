#include "stream/Links.h"

#include <algorithm>
#include <cctype>

namespace morvane::stream {

namespace {

bool StartsWithNoCase(const std::string& text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

// The address's path without query or fragment ends in ".torrent".
bool NamesTorrentFile(const std::string& address) {
  std::string path = address.substr(0, address.find_first_of("?#"));
  std::transform(path.begin(), path.end(), path.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return path.ends_with(".torrent");
}

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+' || c == '-') return 62;
  if (c == '/' || c == '_') return 63;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool HoldsControlBytes(std::string_view text) {
  return text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos;
}

Link Unsupported(std::string reason) { return {LinkKind::kUnsupported, {}, std::move(reason)}; }

Link ClassifyPlain(const std::string& link) {
  if (StartsWithNoCase(link, "magnet:?")) return {LinkKind::kMagnet, link, {}};
  if (StartsWithNoCase(link, "http://") || StartsWithNoCase(link, "https://"))
    return {NamesTorrentFile(link) ? LinkKind::kTorrentAddress : LinkKind::kMedia, link, {}};
  if (StartsWithNoCase(link, "ftp://")) return {LinkKind::kFtp, link, {}};
  if (StartsWithNoCase(link, "ed2k://")) return Unsupported("ed2k links cannot be streamed");
  std::string path = link;
  if (StartsWithNoCase(link, "file://")) {
    // Checked once decoded: "%00" would otherwise end the path the system opens before the
    // ".torrent" that was checked.
    path = PercentDecode(link.substr(7));
    if (HoldsControlBytes(path)) return Unsupported("the link holds control characters");
  }
  if (path.starts_with("/")) {
    if (NamesTorrentFile(path)) return {LinkKind::kTorrentFile, path, {}};
    return Unsupported("a local file that is not a .torrent file");
  }
  if (link.empty()) return Unsupported("no link given");
  return Unsupported("not a link this service can play");
}

}  // namespace

std::string PercentDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::optional<std::string> DecodeThunder(const std::string& link) {
  if (!StartsWithNoCase(link, "thunder://")) return std::nullopt;
  std::string decoded;
  unsigned bits = 0;
  int count = 0;
  for (std::size_t i = 10; i < link.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(link[i]);
    if (c == '=' || (c == '/' && i + 1 == link.size())) continue;  // padding, a trailing slash
    const int value = Base64Value(c);
    if (value < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      decoded += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  if (decoded.size() < 4 || !decoded.starts_with("AA") || !decoded.ends_with("ZZ"))
    return std::nullopt;
  return decoded.substr(2, decoded.size() - 4);
}

bool NamesLocalFile(const std::string& link) {
  return link.starts_with("/") || StartsWithNoCase(link, "file:");
}

Link ClassifyLink(const std::string& link) {
  if (link.size() > kMaxLinkLength) return Unsupported("the link is too long");
  if (HoldsControlBytes(link)) return Unsupported("the link holds control characters");
  if (StartsWithNoCase(link, "thunder://")) {
    const auto inner = DecodeThunder(link);
    if (!inner) return Unsupported("a thunder link that does not decode");
    if (StartsWithNoCase(*inner, "thunder://")) return Unsupported("a thunder link inside a thunder link");
    return ClassifyLink(*inner);
  }
  return ClassifyPlain(link);
}

}  // namespace morvane::stream
