#pragma once
// What kind of link the resolution request carries, and the link itself once decoded.

#include <optional>
#include <string>

namespace morvane::stream {

enum class LinkKind {
  kMagnet,          // magnet:?xt=urn:btih:...
  kTorrentAddress,  // http(s) address of a .torrent file
  kTorrentFile,     // local path (or file:// address) of a .torrent file
  kMedia,           // http(s) media address: answered with itself
  kFtp,             // ftp media address: relayed by the service
  kUnsupported,     // anything else; `reason` says why
};

struct Link {
  LinkKind kind = LinkKind::kUnsupported;
  std::string address;  // the link to act on (decoded from thunder://, file:// stripped)
  std::string reason;   // for kUnsupported
};

// Links longer than this are refused before any parsing.
inline constexpr std::size_t kMaxLinkLength = 16 * 1024;

Link ClassifyLink(const std::string& link);

// True for a local path or a file:// address, whatever it names.
bool NamesLocalFile(const std::string& link);

// thunder://BASE64 where BASE64 encodes "AA" + address + "ZZ"; nothing when it does not.
std::optional<std::string> DecodeThunder(const std::string& link);

// "%41b" becomes "Ab"; malformed escapes stay as they are.
std::string PercentDecode(const std::string& text);

}  // namespace morvane::stream
