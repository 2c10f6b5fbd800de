// Percent-encoding of keywords (through UTF-8) and of player links (as GBK bytes).

#include <gtest/gtest.h>

#include <string>

#include "web/Text.h"

namespace morvane {
namespace {

struct EncodeCase {
  std::string text;
  bool keepUnreserved, viaUtf8;
  std::string expected;
};

TEST(PercentEncode, EscapesEveryByteButTheUnreservedOnes) {
  const EncodeCase cases[] = {
      {"A-b.9_~", true, true, "A-b.9%5F%7E"},     {"A-b.9_~", true, false, "A-b.9%5F%7E"},
      {"A-b", false, false, "%41%2D%62"},         {"/ +%", true, false, "%2F%20%2B%25"},
      {"\xD6\xD0", true, true, "%E4%B8%AD"},      {"\xD6\xD0", true, false, "%D6%D0"},
      {"\xD6\xD0", false, true, "%E4%B8%AD"},     {"\x80", true, true, "%E2%82%AC"},
      {"\xFF\x01", true, false, "%FF%01"},        {"", true, true, ""},
      {std::string("\0", 1), true, false, "%00"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PercentEncode(c.text, c.keepUnreserved, c.viaUtf8), c.expected) << c.text;
}

// Names of the stand-in pages and feeds come from the catalogue and the keyword: an
// escaped entity must not be escaped into a different one, nor a quote end an attribute.
TEST(MarkupEscape, MakesTextSafeBetweenTagsAndInQuotedAttributes) {
  EXPECT_EQ(MarkupEscape(R"(<a href="x">Tom & Jerry</a>)"),
            "&lt;a href=&quot;x&quot;&gt;Tom &amp; Jerry&lt;/a&gt;");
  EXPECT_EQ(MarkupEscape("&amp;"), "&amp;amp;");
  EXPECT_EQ(MarkupEscape("中国合伙人 'single'"), "中国合伙人 'single'");
  EXPECT_EQ(MarkupEscape(""), "");
}

TEST(EncodePlayerLink, KeepsUnderscores) {
  const std::pair<std::string, std::string> cases[] = {
      {"a_b c", "a_b%20c"},
      {"http://v.example/x_1.html?a=b", "http%3A%2F%2Fv.example%2Fx_1.html%3Fa%3Db"},
      {"%5F_", "%255F_"},
      {"\xD6\xD0_", "%D6%D0_"},
      {"", ""},
  };
  for (const auto& [link, expected] : cases) EXPECT_EQ(EncodePlayerLink(link), expected) << link;
}

}  // namespace
}  // namespace morvane
