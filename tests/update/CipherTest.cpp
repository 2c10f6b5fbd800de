#include "update/Cipher.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace morvane {
namespace {

// The published RC4 over the same all-zero key table, to show that its output differs.
std::string PublishedRc4(std::string_view bytes) {
  std::array<unsigned char, 256> s{};
  for (int n = 0; n < 256; ++n) s[n] = static_cast<unsigned char>(n);
  unsigned j = 0;
  for (unsigned i = 0; i < 256; ++i) {
    j = (j + s[i]) % 256;
    std::swap(s[i], s[j]);
  }
  std::string out;
  unsigned i = 0;
  j = 0;
  for (unsigned char b : bytes) {
    i = (i + 1) % 256;
    j = (j + s[i]) % 256;
    std::swap(s[i], s[j]);
    out.push_back(static_cast<char>(b ^ s[(s[i] + s[j]) % 256]));
  }
  return out;
}

std::string Bytes(std::initializer_list<unsigned char> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// Worked out from the algorithm independently of this code (not by running it): the
// empty-key stored form of "http://a/".
constexpr std::string_view kKnownPlain = "http://a/";
constexpr std::string_view kKnownStored = "79,FF,1E,07,83,B3,78,A3,95,";

TEST(CipherTest, KnownAnswerOfTheVariant) {
  EXPECT_EQ(DecipherText(kKnownStored, ""), kKnownPlain);
  EXPECT_EQ(EncipherText(kKnownPlain, ""), kKnownStored);
}

TEST(CipherTest, PublishedRc4CannotReadTheStoredForm) {
  const std::string input = Bytes({0x79, 0xFF, 0x1E, 0x07, 0x83, 0xB3, 0x78, 0xA3, 0x95});
  EXPECT_NE(PublishedRc4(input), kKnownPlain);
  // And the variant cannot read what the published RC4 writes.
  EXPECT_NE(DecipherText("B6,6C,FD,31,99,18,72,5B,A5,", ""), kKnownPlain);
  EXPECT_EQ(PublishedRc4(kKnownPlain),
            Bytes({0xB6, 0x6C, 0xFD, 0x31, 0x99, 0x18, 0x72, 0x5B, 0xA5}));
}

TEST(CipherTest, StoredFormVariantsReadAlike) {
  struct Case {
    const char* name;
    std::string stored;
    std::string plain;
  };
  const std::vector<Case> cases = {
      {"regular", std::string(kKnownStored), std::string(kKnownPlain)},
      {"no commas", "79FF1E0783B378A395", std::string(kKnownPlain)},
      {"extra commas", ",,79,,FF1E,07,83,B3,,78,A3,95,,,", std::string(kKnownPlain)},
      {"lower case", "79,ff,1e,07,83,b3,78,a3,95,", std::string(kKnownPlain)},
      {"mixed case", "79,fF,1E,07,83,b3,78,A3,95", std::string(kKnownPlain)},
      {"empty", "", ""},
      {"commas only", ",,,", ""},
      // The last digit alone is the byte 07, the regular fourth byte of "http".
      {"odd last digit", "79,FF,1E,7", "http"},
      // 8B enciphers a zero byte in the second place, so the text ends after "h".
      {"zero byte ends the text", "79,8B,1E,07", "h"},
  };
  for (const auto& c : cases) EXPECT_EQ(DecipherText(c.stored, ""), c.plain) << c.name;
}

TEST(CipherTest, EncipheredTextsComeBack) {
  std::string long300;
  for (int n = 0; n < 300; ++n) long300.push_back(static_cast<char>(1 + n % 255));
  const std::vector<std::string> plains = {
      "http://127.0.0.1:47080/adminapi/info.html",
      "\xD0\xC5\xCF\xA2\xA3\xBA",  // GBK: 信息：
      "",
      "x",
      "\xFF",
      long300,
  };
  for (const auto& plain : plains) {
    const std::string stored = EncipherText(plain, "");
    EXPECT_EQ(stored.size(), plain.size() * 3);
    EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF,"), std::string::npos);
    EXPECT_EQ(DecipherText(stored, ""), plain) << stored;
  }
}

TEST(CipherTest, KeyChangesTheKeystream) {
  const std::string plain = "http://example.invalid/";
  const std::string withKey = EncipherText(plain, "k\xB0");
  EXPECT_NE(withKey, EncipherText(plain, ""));
  EXPECT_EQ(DecipherText(withKey, "k\xB0"), plain);
  EXPECT_NE(DecipherText(withKey, ""), plain);
}

TEST(CipherTest, HexValueOfDigitRuns) {
  const std::vector<std::pair<std::string, std::int64_t>> cases = {
      {"", 0},
      {"0", 0},
      {"7", 7},
      {"F", 15},
      {"f", 15},
      {"FF", 255},
      {"1a2B", 0x1A2B},
      {"00FF", 255},
      {"G", -1},
      {"1G", 15},
      {"7FFFFFFFFFFFFFFF", INT64_MAX},
      {"10000000000000000", 0},  // 17 digits keep the low 64 bits
  };
  for (const auto& [digits, value] : cases) EXPECT_EQ(HexValue(digits), value) << digits;
}

TEST(CipherTest, SameResultOnEveryThread) {
  const std::string expected = DecipherText(kKnownStored, "");
  constexpr int kThreads = 8;
  std::vector<std::string> wrong(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int n = 0; n < 2000; ++n) {
        const std::string plain = DecipherText(kKnownStored, "");
        if (plain != kKnownPlain) {
          wrong[t] = plain;
          return;
        }
        if (DecipherText(EncipherText(plain, ""), "") != plain) {
          wrong[t] = "round trip";
          return;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(expected, kKnownPlain);
  for (const auto& w : wrong) EXPECT_EQ(w, "");
}

}  // namespace
}  // namespace morvane
