// The info-hash taken from the file's own bytes must be the hash of the re-encoded info
// dictionary, whatever the bytes are.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "tests/support/ReferenceSha1.h"
#include "tests/support/ScratchFolder.h"
#include "tests/torrent/BencodedText.h"
#include "torrent/Bencode.h"
#include "torrent/Torrent.h"

namespace morvane {
namespace {

using namespace std::string_literals;
using testing::Str;
using testing::Sha1Hex;

// The info-hash worked out the long way: decode, take "info", encode it again, hash.
std::string ReencodedInfoHash(const std::string& torrent) {
  AtomPtr value = ParseValue(torrent.data(), static_cast<std::uint32_t>(torrent.size()), 0);
  if (!value || !value->HoldsDicti()) return "no torrent";
  const CAtom* info = static_cast<const CAtomDicti&>(*value).Lookup("info");
  if (info == nullptr || !info->HoldsDicti()) return Sha1Hex("de");
  const auto encoded = SerializeValue(*info);
  return encoded ? Sha1Hex(*encoded) : "";
}

std::string LoadedInfoHash(const std::string& torrent) {
  CTorrent loaded;
  if (!loaded.LoadBytes(torrent)) return "no torrent";
  return loaded.InfoHashText();
}

bool InfoReadCanonically(const std::string& torrent) {
  InfoBytes info;
  ParseValue(torrent.data(), static_cast<std::uint32_t>(torrent.size()), 0, &info);
  return info.canonical;
}

const std::string kPieces = std::string(20, '\x07');

std::string Torrent(const std::string& info) {
  return "d8:announce" + Str("http://t/") + "4:info" + info + "e";
}

TEST(InfoDigest, FromTheFileBytesOnlyWhenTheyAreTheEncoding) {
  const std::string canonical =
      "d5:filesld6:lengthi5e4:pathl1:a1:beee4:name1:x12:piece lengthi16e6:pieces20:" + kPieces +
      "e";
  struct Case {
    const char* what;
    std::string torrent;
    bool canonical;
  } cases[] = {
      {"canonical", Torrent(canonical), true},
      {"negative and zero integers", Torrent("d1:ai-7e1:bi0e1:cle1:ddee"), true},
      {"string length with a leading zero", Torrent("d4:name01:xe"), false},
      {"integer with a leading zero", Torrent("d1:ai07ee"), false},
      {"integer with a plus", Torrent("d1:ai+7ee"), false},
      {"minus zero", Torrent("d1:ai-0ee"), false},
      {"integer after white space", Torrent("d1:ai 7ee"), false},
      {"bytes after the digits", Torrent("d1:ai7xee"), false},
      {"nested non-canonical integer", Torrent("d1:ald1:bi007eeee"), false},
      {"key with a leading zero", Torrent("d01:ai1ee"), false},
      {"keys out of order", Torrent("d1:bi1e1:ai2ee"), false},
      {"key repeated", Torrent("d1:ai1e1:ai2ee"), false},
      {"key with a NUL byte", Torrent("d2:a\0"s + "i1ee"), false},
      {"nested dictionary out of order", Torrent("d1:ad1:zi1e1:yi2eee"), false},
      {"info not closed", "d4:infod1:ai1e", false},
      {"info list not closed", "d4:infod1:ali1e", false},
      {"info ends after a key", "d4:infod1:ai1e1:b", false},
      {"info not a dictionary", "d4:infoli1eee", false},
      {"no info", "d8:announce1:te", false},
      {"info only inside another dictionary", "d1:xd4:infod1:ai1eeee", false},
      {"repeated info, the last canonical", "d4:infod1:bi1e1:ai2ee4:infod1:ai1eee", true},
      {"repeated info, the last not canonical", "d4:infod1:ai1ee4:infod1:bi1e1:ai2eee", false},
      // "02:x4" is read as "2:x4" and the next key starts at its "4".
      {"info read after drift", "d1:a02:x4:infod1:ai1eee", true},
      {"top level is a list", "ld4:infod1:ai1eeee", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(InfoReadCanonically(c.torrent), c.canonical) << c.what;
    EXPECT_EQ(LoadedInfoHash(c.torrent), ReencodedInfoHash(c.torrent)) << c.what;
  }
  EXPECT_EQ(LoadedInfoHash(Torrent(canonical)), Sha1Hex(canonical));
}

// Damaged copies of a torrent: every one must hash as its re-encoding does.
TEST(InfoDigest, DamagedTorrentsHashAsTheirReencoding) {
  const std::string base = Torrent(
      "d5:filesld6:lengthi5e4:pathl1:a2:bceed6:lengthi70e4:pathl3:defeee4:name1:x"
      "12:piece lengthi16e6:pieces20:" +
      kPieces + "e");
  const std::string noise = "0123456789-+ :delie\0x"s;
  std::mt19937 random(12345);
  int decoded = 0, fromBytes = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string torrent = base;
    for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
      const std::size_t at = random() % torrent.size();
      const char c = noise[random() % noise.size()];
      switch (random() % 3) {
        case 0:
          torrent[at] = c;
          break;
        case 1:
          torrent.insert(torrent.begin() + static_cast<std::ptrdiff_t>(at), c);
          break;
        default:
          torrent.erase(at, 1);
          break;
      }
    }
    const std::string expected = ReencodedInfoHash(torrent);
    if (expected == "no torrent") continue;
    ++decoded;
    if (InfoReadCanonically(torrent)) ++fromBytes;
    ASSERT_EQ(LoadedInfoHash(torrent), expected) << ::testing::PrintToString(torrent);
  }
  // Both ways of hashing were exercised.
  EXPECT_GT(decoded - fromBytes, 100);
  EXPECT_GT(fromBytes, 100);
}

}  // namespace
}  // namespace morvane
