// Conversions between UTF-8 and GBK: known texts, ill-formed input on both sides, and the
// whole code page against iconv's own CP936 converter.

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "web/Text.h"

namespace morvane {
namespace {

// Converts with iconv; false when iconv refuses the input.
bool IconvConvert(const char* to, const char* from, const std::string& in, std::string* out) {
  const iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input = in;
  char* inPtr = input.data();
  std::size_t inLeft = input.size();
  char buffer[16];
  char* outPtr = buffer;
  std::size_t outLeft = sizeof buffer;
  const std::size_t result = iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(converter);
  if (result == static_cast<std::size_t>(-1) || inLeft != 0) return false;
  out->assign(buffer, sizeof buffer - outLeft);
  return true;
}

std::string Utf8Of(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(GbkText, ConvertsKnownTexts) {
  const std::pair<std::string, std::string> cases[] = {
      {"中文", "\xD6\xD0\xCE\xC4"},
      {"信息：", "\xD0\xC5\xCF\xA2\xA3\xBA"},
      {"€", "\x80"},
      {"a 中 b\r\n", "a \xD6\xD0 b\r\n"},
      {"", ""},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& [utf8, gbk] : cases) {
    EXPECT_EQ(Utf8ToLocal(utf8), gbk) << utf8;
    EXPECT_EQ(LocalToUtf8(gbk), utf8) << utf8;
  }
  EXPECT_EQ(Gbk("搜索"), "\xCB\xD1\xCB\xF7");
}

TEST(Utf8ToLocal, GivesAQuestionMarkForEveryBadSequence) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xFF", "?"},
      {"a\xE4\xB8", "a?"},  // cut-off character at the end
      {"\xE4\xB8"
       "a\xE4\xB8\xAD",
       "?a\xD6\xD0"},           // cut-off character before others
      {"\xC0\x80", "??"},       // overlong NUL
      {"\xE0\x80\xAF", "???"},  // overlong slash
      {"\xED\xA0\x80", "???"},  // an encoded surrogate
      {"a\xF4\x90\x80\x80"
       "b",
       "a????b"},                 // above U+10FFFF
      {"\x80\xBF", "??"},         // continuation bytes alone
      {"\xF0\x9F\x98\x80", "?"},  // well-formed, but not in GBK
      {"\xC3\xA9", "\xA8\xA6"},   // é is in GBK
      {"\xEF\xBB\xBF"
       "a",
       "?a"},  // a byte order mark is a character GBK lacks
      {"\xE2\x82", "?"},
  };
  for (const auto& [utf8, expected] : cases) EXPECT_EQ(Utf8ToLocal(utf8), expected) << utf8;
}

TEST(LocalToUtf8, GivesAReplacementCharacterForEveryBadByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xFF", kReplacement},
      {"a\x81", "a" + kReplacement},    // lead byte at the end
      {"\x81 a", kReplacement + " a"},  // a byte no pair ends in stays
      {"\x81"
       "a",
       "\xE4\xB9\xA4"},  // letters do end pairs
      {"\x81\x7F", kReplacement + "\x7F"},
      {"\x81\x30\xD6\xD0", kReplacement + "0中"},
      {"\xA2\xA0", kReplacement},  // unassigned pair: one character
      {"\xFF\xD6\xD0", kReplacement + "中"},
  };
  for (const auto& [gbk, expected] : cases) EXPECT_EQ(LocalToUtf8(gbk), expected) << gbk;
}

TEST(GbkText, EveryDoubleByteCodeRoundTrips) {
  int assigned = 0;
  for (unsigned lead = 0x81; lead <= 0xFE; ++lead) {
    for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
      if (trail == 0x7F) continue;  // never a second byte; see the bad-byte cases
      const std::string gbk{static_cast<char>(lead), static_cast<char>(trail)};
      std::string utf8;
      if (!IconvConvert("UTF-8", "CP936", gbk, &utf8)) {
        EXPECT_EQ(LocalToUtf8(gbk), kReplacement) << std::hex << lead << ' ' << trail;
        continue;
      }
      ++assigned;
      ASSERT_EQ(LocalToUtf8(gbk), utf8) << std::hex << lead << ' ' << trail;
      ASSERT_EQ(Utf8ToLocal(utf8), gbk) << std::hex << lead << ' ' << trail;
    }
  }
  EXPECT_GT(assigned, 21000);  // the code page really was there to compare with
}

TEST(Utf8ToLocal, AgreesWithTheCodePageForEveryBmpCharacter) {
  for (char32_t c = 0x80; c <= 0xFFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string utf8 = Utf8Of(c);
    std::string gbk;
    if (!IconvConvert("CP936", "UTF-8", utf8, &gbk)) gbk = "?";
    ASSERT_EQ(Utf8ToLocal(utf8), gbk) << std::hex << static_cast<unsigned>(c);
  }
}

}  // namespace
}  // namespace morvane
