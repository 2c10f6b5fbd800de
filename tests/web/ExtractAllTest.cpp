// ExtractAll: every value between two markers, with its options and its stop rules.

#include <gtest/gtest.h>

#include <string>

#include "web/Text.h"

namespace morvane {
namespace {

struct ExtractCase {
  const char* name;
  std::string source, left, right;
  ExtractOptions options;
  TextList expected;
};

ExtractOptions With(auto&& change) {
  ExtractOptions options;
  change(options);
  return options;
}

TEST(ExtractAll, FollowsItsRulesAndOptions) {
  const ExtractCase cases[] = {
      {"an empty value stops", "[a][b][][c]", "[", "]", {}, {"a", "b"}},
      {"a blank value stops", "[a][  ][c]", "[", "]", {}, {"a"}},
      {"values are trimmed", "<x> a </x>", "<x>", "</x>", {}, {"a"}},
      {"line breaks stay", "<x>\na\r\n</x>", "<x>", "</x>", {}, {"\na\r\n"}},
      {"missing right marker stops", "[a][b", "[", "]", {}, {"a"}},
      {"no left marker", "abc", "[", "]", {}, {}},
      {"empty source", "", "[", "]", {}, {}},
      {"markers ignore case", "<TD>a</td><td>b</TD>", "<td>", "</td>", {}, {"a", "b"}},
      {"case-sensitive markers",
       "<TD>a</td><td>b</td>",
       "<td>",
       "</td>",
       With([](auto& o) { o.caseSensitive = true; }),
       {"b"}},
      {"longer value stops",
       "[ab][abc][a]",
       "[",
       "]",
       With([](auto& o) { o.maximumLength = 2; }),
       {"ab"}},
      {"length counts trimmed bytes",
       "[ ab ][\xD6\xD0\xCE\xC4]",
       "[",
       "]",
       With([](auto& o) { o.maximumLength = 3; }),
       {"ab"}},
      {"prefix and suffix",
       "[a][b]",
       "[",
       "]",
       With([](auto& o) {
         o.prefix = "<";
         o.suffix = ">";
       }),
       {"<a>", "<b>"}},
      {"markers outside prefix and suffix",
       "[a]",
       "[",
       "]",
       With([](auto& o) {
         o.prefix = "p";
         o.suffix = "s";
         o.includeLeft = true;
         o.includeRight = true;
       }),
       {"[pas]"}},
      {"included markers as given, not as found",
       "<TD>a</TD>",
       "<td>",
       "</td>",
       With([](auto& o) { o.includeLeft = o.includeRight = true; }),
       {"<td>a</td>"}},
      {"start position", "[a][b][c]", "[", "]", With([](auto& o) { o.start = 4; }), {"b", "c"}},
      {"start past the end", "[a]", "[", "]", With([](auto& o) { o.start = 9; }), {}},
      // The search for the next left marker begins at the right marker just found.
      {"right marker is the next left one", "|a|b|", "|", "|", {}, {"a", "b"}},
      {"left marker inside a character", "\xB0<td>1</td><td>2</td>", "<td>", "</td>", {}, {"2"}},
      {"right marker inside a character",
       "<td>1\xB0</td>2</td>",
       "<td>",
       "</td>",
       {},
       {"1\xB0</td>2"}},
      {"double-byte markers",
       "\xA1\xBE"
       "a\xA1\xBF\xA1\xBE"
       "b\xA1\xBF",
       "\xA1\xBE",
       "\xA1\xBF",
       {},
       {"a", "b"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ExtractAll(c.source, c.left, c.right, c.options), c.expected) << c.name;
}

TEST(ExtractAll, KeepsNothingBetweenCalls) {
  EXPECT_EQ(ExtractAll("nothing here", "[", "]"), TextList{});
  EXPECT_EQ(ExtractAll("[x][y]", "[", "]"), (TextList{"x", "y"}));
  EXPECT_EQ(ExtractAll("[z]", "[", "]"), TextList{"z"});
}

TEST(ExtractAll, FindsThousandsOfMatchesInAPage) {
  // A result page as the sites send it: Chinese text around every value, rows that end in a
  // lead byte's partner, markers in mixed case.
  std::string page = "<html><body>\xCB\xD1\xCB\xF7\xBD\xE1\xB9\xFB<table>";
  TextList expected;
  for (int row = 0; row < 5000; ++row) {
    const std::string hash = "hash" + std::to_string(row * 7919);
    page += row % 2 ? "<tr><TD class=\"h\">" : "<tr><td class=\"h\">";
    page += "  " + hash + "\xA1\xA1</td><td>\xD6\xD0\xCE\xC4 " + std::to_string(row) +
            " \xB4\xF3\xD0\xA1</td></tr>\n";
    expected.push_back(hash);
  }
  page += "</table></body></html>";
  EXPECT_EQ(ExtractAll(page, "<td class=\"h\">", "</td>"), expected);

  ExtractOptions fromTheMiddle;
  fromTheMiddle.start = static_cast<long long>(page.size() / 2);
  fromTheMiddle.prefix = "magnet:?xt=urn:btih:";
  const TextList second = ExtractAll(page, "<td class=\"h\">", "</td>", fromTheMiddle);
  ASSERT_FALSE(second.empty());
  EXPECT_LT(second.size(), expected.size());
  EXPECT_EQ(second.back(), "magnet:?xt=urn:btih:" + expected.back());
}

}  // namespace
}  // namespace morvane
