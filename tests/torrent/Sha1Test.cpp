#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>
#include <vector>

#include "torrent/SHA1.h"

namespace morvane {
namespace {

std::string Hex(const unsigned char* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// Hashes the message fed in pieces of `piece` bytes (0: all at once).
std::string Sha1Hex(const std::string& message, std::size_t piece = 0) {
  CSHA1 hasher;
  if (piece == 0) {
    hasher.Absorb(message.data(), message.size());
  } else {
    for (std::size_t at = 0; at < message.size(); at += piece)
      hasher.Absorb(message.data() + at, std::min(piece, message.size() - at));
  }
  hasher.Finish();
  std::string hex;
  hasher.HexReport(hex);
  return hex;
}

std::string ReferenceHex(const std::string& message) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest);
  return Hex(digest, sizeof digest);
}

// Every test runs with the CPU's instructions (where present) and with the portable
// routine forced.
class Sha1Engines : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam() && !Sha1CpuInstructionsAvailable())
      GTEST_SKIP() << "this CPU has no SHA instructions";
    Sha1ForcePortable(GetParam());
  }
  void TearDown() override { Sha1ForcePortable(false); }
};

TEST_P(Sha1Engines, PublishedTestVectors) {
  struct Vector {
    std::string message;
    const char* digest;
  } vectors[] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1'000'000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(Sha1Hex(v.message), v.digest) << v.message.substr(0, 20);
    EXPECT_EQ(Sha1Hex(v.message, 7), v.digest) << "in 7-byte pieces";
  }
}

TEST_P(Sha1Engines, EveryLengthAroundTheBlockBoundaries) {
  std::string message;
  for (int length = 0; length <= 130; ++length) {
    EXPECT_EQ(Sha1Hex(message), ReferenceHex(message)) << "length " << length;
    EXPECT_EQ(Sha1Hex(message, 1), ReferenceHex(message)) << "bytewise, length " << length;
    message += static_cast<char>(length * 37 + 11);
  }
}

TEST_P(Sha1Engines, LargeInputInUnevenPieces) {
  std::string message(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < message.size(); ++i)
    message[i] = static_cast<char>(i * 2654435761u >> 13);
  const std::string expected = ReferenceHex(message);
  for (std::size_t piece : {0, 63, 64, 65, 4096 + 3}) EXPECT_EQ(Sha1Hex(message, piece), expected);
}

INSTANTIATE_TEST_SUITE_P(Sha1, Sha1Engines, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Portable" : "Best"; });

TEST(Sha1, ReportAppendsAndDigestMatches) {
  CSHA1 hasher;
  hasher.Absorb("abc", 3);
  hasher.Finish();
  std::string text = "magnet:";
  hasher.HexReport(text);
  EXPECT_EQ(text, "magnet:a9993e364706816aba3e25717850c26c9cd0d89d");
  unsigned char digest[20];
  hasher.DigestBytes(digest);
  EXPECT_EQ(Hex(digest, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
  // Restart serves a new message.
  hasher.Restart();
  hasher.Absorb("abc", 3);
  hasher.Finish();
  std::string again;
  hasher.HexReport(again);
  EXPECT_EQ(again, "a9993e364706816aba3e25717850c26c9cd0d89d");
}

}  // namespace
}  // namespace morvane
