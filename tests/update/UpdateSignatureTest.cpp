#include "update/UpdateSignature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace morvane {
namespace {

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return bytes;
}

std::string Hex(const Sha256Digest& digest) {
  static const char* kDigits = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : digest) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0xF];
  }
  return hex;
}

// The test vectors of FIPS 180-2, the long one fed in pieces that fall on, just before and
// just after the background hasher's slot boundaries, and as a download's reads would.
TEST(Sha256, MatchesTheStandardVectorsWhateverThePieces) {
  const std::string million(1000000, 'a');
  const std::string kMillionDigest =
      "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
  for (std::size_t piece :
       {std::size_t{1} << 18, (std::size_t{1} << 18) - 1, (std::size_t{1} << 18) + 1,
        std::size_t{10240}, std::size_t{7}, million.size()}) {
    SCOPED_TRACE(piece);
    BackgroundSha256 background;
    Sha256 plain;
    for (std::size_t at = 0; at < million.size(); at += piece) {
      const std::size_t n = std::min(piece, million.size() - at);
      background.Add(million.data() + at, n);
      plain.Add(million.data() + at, n);
    }
    EXPECT_EQ(Hex(background.Finish()), kMillionDigest);
    EXPECT_EQ(Hex(plain.Finish()), kMillionDigest);
  }
  Sha256 abc;
  abc.Add("abc", 3);
  EXPECT_EQ(Hex(abc.Finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  BackgroundSha256 nothing;
  EXPECT_EQ(Hex(nothing.Finish()),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// A download that fails leaves the hasher unfinished: with nothing added, with a slot half
// filled, or with every slot waiting for its thread. Dropping it must end that thread and
// return, or the failed update hangs instead of saying why.
TEST(Sha256, AnUnfinishedBackgroundHasherEndsQuietly) {
  static const std::string block(1 << 20, 'x');
  for (const std::size_t added : {std::size_t{0}, std::size_t{1000}, 8 * block.size()}) {
    SCOPED_TRACE(added);
    auto ended = std::make_shared<std::promise<void>>();
    std::future<void> dropped = ended->get_future();
    // Detached, so that a hasher that never ends fails the test rather than holding it.
    std::thread([added, ended] {
      {
        BackgroundSha256 hasher;
        for (std::size_t at = 0; at < added; at += block.size())
          hasher.Add(block.data(), std::min(block.size(), added - at));
      }
      ended->set_value();
    }).detach();
    ASSERT_EQ(dropped.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  }
}

TEST(Base64, DecodesOnlyCanonicalPaddedText) {
  const struct {
    std::string text;
    std::optional<std::string> bytes;
  } cases[] = {
      {"", ""},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYmFy", "foobar"},
      {"+/+/", "\xfb\xff\xbf"},
      {"Zg", std::nullopt},    // unpadded
      {"Zh==", std::nullopt},  // bits beyond the byte set
      {"Zm9=", std::nullopt},  // bits beyond the two bytes set
      {"Zg=a", std::nullopt},  // padding inside
      {"====", std::nullopt},
      {"Zm9v\n", std::nullopt},  // line break
      {"Zm 9", std::nullopt},
      {"Zm-_", std::nullopt},  // the URL alphabet
      {"Zm9vYg===", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64Decode(c.text), c.bytes) << c.text;
    if (c.bytes) {
      EXPECT_EQ(Base64Encode(*c.bytes), c.text);
    }
  }
}

// RFC 8032, section 7.1, test 2: checks the key and signature encodings against an outside
// reference rather than against our own signing.
TEST(Signature, VerifiesTheStandardEd25519Vector) {
  const std::string key =
      Base64Encode(FromHex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"));
  const std::string signature =
      Base64Encode(FromHex("92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
                           "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"));
  EXPECT_TRUE(VerifyMessage(key, "\x72", signature));
  EXPECT_TRUE(VerifyMessage(key, "\x72", "\r\n " + signature + "\n"));
  EXPECT_FALSE(VerifyMessage(key, "\x73", signature));
  EXPECT_FALSE(VerifyMessage(key, "", signature));
  EXPECT_FALSE(VerifyMessage(key, "\x72", signature.substr(4)));
  EXPECT_FALSE(VerifyMessage(key.substr(0, 40), "\x72", signature));
}

TEST(Signature, SignsWithAFreshKeyAndOnlyThatKeyVerifies) {
  const auto pair = GenerateSigningKey();
  const auto other = GenerateSigningKey();
  ASSERT_TRUE(pair && other);
  EXPECT_EQ(PublicKeyOf(pair->privateKeyPem), pair->publicKey);
  EXPECT_EQ(PublicKeyOf("no key"), "");
  Sha256 hasher;
  hasher.Add("program", 7);
  const Sha256Digest digest = hasher.Finish();
  const std::string signature = SignDigest(pair->privateKeyPem, digest);
  EXPECT_TRUE(DownloadAccepted(pair->publicKey, digest, signature));
  EXPECT_FALSE(DownloadAccepted(other->publicKey, digest, signature));
  Sha256Digest changed = digest;
  changed[31] ^= 1;
  EXPECT_FALSE(DownloadAccepted(pair->publicKey, changed, signature));
  // No key: the publisher does not sign, and nothing is checked.
  EXPECT_TRUE(DownloadAccepted("", digest, ""));
  EXPECT_EQ(SignDigest("no key", digest), "");
}

}  // namespace
}  // namespace morvane
