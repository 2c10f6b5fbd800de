#include "stream/Links.h"

#include <gtest/gtest.h>

namespace morvane::stream {
namespace {

std::string Base64(const std::string& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += alphabet[(v >> s) & 63];
  }
  if (i < bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Thunder(const std::string& address) { return "thunder://" + Base64("AA" + address + "ZZ"); }

TEST(LinksTest, EveryKindOfLinkIsRecognised) {
  const std::string magnet = "magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567&dn=x";
  struct Case {
    std::string link;
    LinkKind kind;
    std::string address;
  } cases[] = {
      {magnet, LinkKind::kMagnet, magnet},
      {"MAGNET:?xt=urn:btih:AAAA", LinkKind::kMagnet, "MAGNET:?xt=urn:btih:AAAA"},
      {"http://h/a/b.torrent", LinkKind::kTorrentAddress, "http://h/a/b.torrent"},
      {"https://h/b.TORRENT?x=1#f", LinkKind::kTorrentAddress, "https://h/b.TORRENT?x=1#f"},
      {"http://h/get?file=b.torrent", LinkKind::kMedia, "http://h/get?file=b.torrent"},
      {"http://h/v.mp4", LinkKind::kMedia, "http://h/v.mp4"},
      {"ftp://h/v.mkv", LinkKind::kFtp, "ftp://h/v.mkv"},
      {"/home/u/a b.torrent", LinkKind::kTorrentFile, "/home/u/a b.torrent"},
      {"file:///home/u/a%20b.torrent", LinkKind::kTorrentFile, "/home/u/a b.torrent"},
      {Thunder("http://h/v.mp4"), LinkKind::kMedia, "http://h/v.mp4"},
      {Thunder("ftp://h/v.rmvb"), LinkKind::kFtp, "ftp://h/v.rmvb"},
      {Thunder(magnet), LinkKind::kMagnet, magnet},
      {"ed2k://|file|v.mkv|1|ABC|/", LinkKind::kUnsupported, ""},
      {Thunder("ed2k://|file|v.mkv|1|ABC|/"), LinkKind::kUnsupported, ""},
      {Thunder(Thunder("http://h/v.mp4")), LinkKind::kUnsupported, ""},
      {"thunder://!!!!", LinkKind::kUnsupported, ""},
      {"thunder://" + Base64("http://h/v.mp4"), LinkKind::kUnsupported, ""},  // no AA...ZZ
      {"", LinkKind::kUnsupported, ""},
      {"garbage", LinkKind::kUnsupported, ""},
      {"/etc/passwd", LinkKind::kUnsupported, ""},
      {"gopher://h/", LinkKind::kUnsupported, ""},
      {"http://h/\r\nX: y", LinkKind::kUnsupported, ""},
      // A NUL that appears once decoded would end the path before the checked ".torrent".
      {"file:///etc/shadow%00.torrent", LinkKind::kUnsupported, ""},
      {"file:///etc/x%0a.torrent", LinkKind::kUnsupported, ""},
      {"file:///etc/x%0D.torrent", LinkKind::kUnsupported, ""},
      {"magnet:?" + std::string(kMaxLinkLength, 'x'), LinkKind::kUnsupported, ""},
  };
  for (const Case& c : cases) {
    const Link link = ClassifyLink(c.link);
    EXPECT_EQ(link.kind, c.kind) << c.link.substr(0, 80);
    if (c.kind == LinkKind::kUnsupported)
      EXPECT_FALSE(link.reason.empty()) << c.link.substr(0, 80);
    else
      EXPECT_EQ(link.address, c.address) << c.link.substr(0, 80);
  }
}

TEST(LinksTest, ThunderDecodesUnpaddedAndUrlSafeForms) {
  EXPECT_EQ(DecodeThunder("thunder://QUFodHRwOi8vaC92Lm1wNFpa"), "http://h/v.mp4");
  EXPECT_EQ(DecodeThunder("thunder://QUFodHRwOi8vaC92Lm1wNFpa/"), "http://h/v.mp4");
  EXPECT_EQ(DecodeThunder(Thunder("http://h/?a=1")), "http://h/?a=1");
  EXPECT_FALSE(DecodeThunder("thunder://QUFa"));  // "AAZ": too short to hold AA..ZZ
  EXPECT_FALSE(DecodeThunder("http://x"));
}

}  // namespace
}  // namespace morvane::stream
