// The search, trim and split rules and the single cut-outs (TextBetween, AfterColon).

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string>

#include "web/Text.h"

namespace morvane {
namespace {

struct FindCase {
  const char* name;
  std::string text;
  std::string needle;
  long long start;
  bool ignoreCase;
  long long expected;
};

TEST(FindText, FollowsTheSearchRule) {
  const FindCase cases[] = {
      {"plain", "abcabc", "ca", 1, false, 3},
      {"from a later start", "abcabc", "abc", 2, false, 4},
      {"start on the match", "abcabc", "abc", 4, false, 4},
      {"missing", "abcabc", "abd", 1, false, -1},
      {"needle longer than the rest", "abcabc", "bcx", 5, false, -1},
      {"match at the very end", "abcxyz", "yz", 1, false, 5},
      {"case differs", "xHREF=", "href=", 1, false, -1},
      {"case ignored", "xHREF=", "href=", 1, true, 2},
      {"case ignored, needle upper", "x href=", "HREF=", 1, true, 3},
      {"only ASCII letters fold", "\xC1\xE1", "\xE1\xE1", 1, true, -1},
      {"empty needle at 1", "abc", "", 1, false, 1},
      {"empty needle at the start", "abc", "", 3, false, 3},
      {"empty needle in an empty text", "", "", 1, false, -1},
      {"empty needle past the end", "abc", "", 4, false, -1},
      {"search in an empty text", "", "a", 1, false, -1},
      {"start below 1 counts as 1", "abc", "a", -5, false, 1},
      {"start past the end", "abc", "c", 4, false, -1},
      // 0xB0 0x61 is one character whose second byte is "a".
      {"trail byte is not a match start",
       "\xB0"
       "a",
       "a", 1, false, -1},
      {"trail byte, ignoring case",
       "\xB0"
       "A",
       "a", 1, true, -1},
      {"match after the character",
       "\xB0"
       "aa",
       "a", 1, false, 3},
      {"needle across a character boundary",
       "x\xB0"
       "ab",
       "ab", 1, false, -1},
      {"run of double-byte characters",
       "\xB0\xB0\xB0\xB0"
       "a",
       "a", 1, false, 5},
      {"odd run: last lead takes the a",
       "\xB0\xB0\xB0"
       "a",
       "a", 1, false, -1},
      {"characters counted from the start",
       "\xB0"
       "aa",
       "a", 2, false, 2},
      {"start on a lead pairs it anew",
       "x\xB0\xB0"
       "a",
       "a", 2, false, 4},
      {"start on the second lead",
       "x\xB0\xB0"
       "a",
       "a", 3, false, -1},
      {"double-byte needle", "\xD6\xD0\xCE\xC4", "\xCE\xC4", 1, false, 3},
      {"double-byte needle off by one", "\xD6\xD0\xCE\xC4", "\xD0\xCE", 1, false, -1},
      {"pairs decide, not byte values", "\xB0\xD6\xD0\xCE", "\xD0\xCE", 1, false, 3},
      {"lead byte at the end", "ab\xB0", "\xB0", 1, false, 3},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FindText(c.text, c.needle, c.start, c.ignoreCase), c.expected) << c.name;
}

// The rule spelled out byte by byte, to hold the fast search against.
long long ReferenceFind(const std::string& text, const std::string& needle, long long start,
                        bool ignoreCase) {
  const auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c | 0x20 : c; };
  std::size_t i = start < 1 ? 0 : static_cast<std::size_t>(start - 1);
  if (i >= text.size()) return -1;
  for (; i < text.size(); i += static_cast<unsigned char>(text[i]) >= 0x80 ? 2 : 1) {
    if (i + needle.size() > text.size()) return -1;
    bool equal = true;
    for (std::size_t k = 0; k < needle.size() && equal; ++k) {
      const auto a = static_cast<unsigned char>(text[i + k]);
      const auto b = static_cast<unsigned char>(needle[k]);
      equal = ignoreCase ? fold(a) == fold(b) : a == b;
    }
    if (equal) return static_cast<long long>(i) + 1;
  }
  return -1;
}

TEST(FindText, AgreesWithTheRuleOnRandomTexts) {
  // Few distinct bytes, so that matches, near-matches and lead bytes are frequent.
  const std::string alphabet = "aAbB<\xB0\xC1\xA1";
  std::mt19937 random(20261207);
  const auto pick = [&](std::size_t maximum) {
    std::string s(std::uniform_int_distribution<std::size_t>(0, maximum)(random), ' ');
    for (char& c : s) c = alphabet[random() % alphabet.size()];
    return s;
  };
  for (int round = 0; round < 40000; ++round) {
    const std::string text = pick(round % 8 ? 48 : 160);  // some span several blocks
    const std::string needle = pick(4);
    const long long start = std::uniform_int_distribution<long long>(-1, text.size() + 2)(random);
    const bool ignoreCase = random() % 2;
    ASSERT_EQ(FindText(text, needle, start, ignoreCase),
              ReferenceFind(text, needle, start, ignoreCase))
        << "text '" << text << "' needle '" << needle << "' start " << start << " ignoreCase "
        << ignoreCase;
  }
}

// Longer texts cross the blocks the search tests at once (16, 32 and 64 positions) and end
// in a part block. Needles are often cut from the text, so that they are found; they are
// long enough to be compared in parts, with and without letters (without, case changes
// nothing), and double-byte characters sit on and next to block edges, where a pair's trail
// byte is in the next block.
TEST(FindText, AgreesWithTheRuleOnLongTexts) {
  const std::string letters = "aAzZ";
  const std::string others = "-:7 <\"\xB0\xA1\xD6";
  std::mt19937 random(7122026);
  const auto draw = [&](std::size_t n, const std::string& alphabet) {
    std::string s(n, ' ');
    for (char& c : s) c = alphabet[random() % alphabet.size()];
    return s;
  };
  const auto below = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  for (int round = 0; round < 20000; ++round) {
    std::string text = draw(below(300), round % 3 ? letters + others : others);
    const long long start = std::uniform_int_distribution<long long>(0, text.size() / 4)(random);
    for (const std::size_t edge : {15, 16, 31, 32, 63, 64, 127, 128}) {
      const std::size_t at = static_cast<std::size_t>(start) + edge - below(3);
      if (at < text.size() && random() % 2) text[at] = "\xB0\xD6\xA1"[below(3)];
    }
    std::string needle;
    if (!text.empty() && round % 4 != 0) {  // cut from the text, in the other case now and then
      const std::size_t from = below(text.size());
      needle = text.substr(from, 1 + below(std::min<std::size_t>(text.size() - from, 40)));
      if (round % 5 == 0)
        for (char& c : needle) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    } else {
      needle = draw(1 + below(6), round % 2 ? letters + others : others);
    }
    for (const bool ignoreCase : {false, true})
      ASSERT_EQ(FindText(text, needle, start, ignoreCase),
                ReferenceFind(text, needle, start, ignoreCase))
          << "text '" << text << "' needle '" << needle << "' start " << start << " ignoreCase "
          << ignoreCase;
  }
}

TEST(TrimText, RemovesOnlySpacesAndIdeographicSpaces) {
  const std::pair<std::string, std::string> cases[] = {
      {"  a b  ", "a b"},
      {"\xA1\xA1 a\xA1\xA1\xA1\xA1 ", "a"},
      {"\ta\r\n", "\ta\r\n"},
      {"\n a \n", "\n a \n"},
      {"   ", ""},
      {"\xA1\xA1", ""},
      {"", ""},
      // B0 A1 is a character; the A1 after it is alone, so no ideographic space ends the text.
      {"\xB0\xA1\xA1", "\xB0\xA1\xA1"},
      {"x\xB0\xA1\xA1\xA1", "x\xB0\xA1"},
      {"\xA1 a", "\xA1 a"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(TrimText(text), expected) << text;
}

// The characters counted from the front, every one looked at: what TrimText must give.
std::string ReferenceTrim(const std::string& text) {
  const auto isSpace = [&](std::size_t i) -> std::size_t {
    if (text[i] == ' ') return 1;
    return text.compare(i, 2, "\xA1\xA1") == 0 ? 2 : 0;
  };
  std::size_t begin = 0, end = 0;
  bool inFront = true;
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t space = isSpace(i)) {
      i += space;
      if (inFront) begin = i;
      continue;
    }
    inFront = false;
    i = std::min(text.size(), i + (static_cast<unsigned char>(text[i]) >= 0x80 ? 2 : 1));
    end = i;
  }
  return end > begin ? text.substr(begin, end - begin) : "";
}

TEST(TrimText, AgreesWithTheRuleOnEveryShortText) {
  // Spaces, the ideographic space's byte, another lead byte and a letter, in every order.
  const std::string alphabet =
      " \xA1\xB0"
      "a";
  for (std::size_t length = 0; length <= 8; ++length) {
    std::size_t count = 1;
    for (std::size_t i = 0; i < length; ++i) count *= alphabet.size();
    for (std::size_t n = 0; n < count; ++n) {
      std::string text;
      for (std::size_t i = 0, rest = n; i < length; ++i, rest /= alphabet.size())
        text += alphabet[rest % alphabet.size()];
      ASSERT_EQ(TrimText(text), ReferenceTrim(text)) << text;
    }
  }
}

TEST(SplitText, KeepsInnerEmptyPiecesAndDropsAnEmptyLastOne) {
  const std::tuple<std::string, std::string, TextList> cases[] = {
      {"a\r\nb\r\n", "\r\n", {"a", "b"}},
      {"a\r\n\r\nb", "\r\n", {"a", "", "b"}},
      {"\r\na", "\r\n", {"", "a"}},
      {"abc", ",", {"abc"}},
      {"", ",", {}},
      {",", ",", {""}},
      {"a,,", ",", {"a", ""}},
      {"aXbxc", "x", {"aXb", "c"}},
      {"abc", "", {"abc"}},
      // The second byte of 0xB0 0x2C is not a separator.
      {"\xB0,a,b", ",", {"\xB0,a", "b"}},
  };
  for (const auto& [text, separator, expected] : cases)
    EXPECT_EQ(SplitText(text, separator), expected) << text;
}

struct BetweenCase {
  const char* name;
  std::string source, left, right;
  long long start;
  bool caseSensitive;
  std::string expected;
};

TEST(TextBetween, CutsOutOneValue) {
  const BetweenCase cases[] = {
      {"plain", "a=1; b=2", "a=", ";", 1, false, "1"},
      {"right marker missing", "a=1; b=2", "a=", "#", 1, false, ""},
      {"left marker missing", "a=1; b=2", "c=", ";", 1, false, ""},
      {"right only before the left", "; a=1", "a=", ";", 1, false, ""},
      {"case ignored by default", "<A HREF=x>", "href=", ">", 1, false, "x"},
      {"case-sensitive", "<A HREF=x>", "href=", ">", 1, true, ""},
      {"from a start position", "a=1; a=2;", "a=", ";", 2, false, "2"},
      {"not trimmed", "a= 1 ;", "a=", ";", 1, false, " 1 "},
      {"empty value", "a=;", "a=", ";", 1, false, ""},
      {"left marker at the end", "xa=", "a=", ";", 1, false, ""},
      {"quote placeholder", "title=\"x\"", Gbk("title=#引号"), Gbk("#引号"), 1, false, "x"},
      {"two placeholders", "f(\"a\",\"b\")", Gbk("#引号,#引号"), Gbk("#引号)"), 1, false, "b"},
      {"markers with a placeholder ignore case", "<p>\"q\"", Gbk("<P>#引号"), Gbk("#引号"), 1,
       false, "q"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TextBetween(c.source, c.left, c.right, c.start, c.caseSensitive), c.expected)
        << c.name;
}

TEST(AfterColon, GivesTheTrimmedRest) {
  const std::pair<std::string, std::string> cases[] = {
      {"Location:  /x/y ", "/x/y"}, {"abc", ""}, {"a:b:c", "b:c"}, {"Set-Cookie:", ""},
      {":\xA1\xA1x\xA1\xA1", "x"},  {"", ""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(AfterColon(text), expected) << text;
}

}  // namespace
}  // namespace morvane
