// The resolution contract both sides read and write: the link cut from a raw request target,
// and an answer no link can break out of.

#include "web/ResolutionContract.h"

#include <gtest/gtest.h>

#include "web/Text.h"

namespace morvane {
namespace {

TEST(ResolutionContract, TheLinkIsTheRawRestAfterUrl) {
  struct Case {
    std::string target;
    std::optional<std::string> link;
  } cases[] = {
      {"/xml.php?url=magnet:?xt=urn:btih:ab&dn=a b&tr=x", "magnet:?xt=urn:btih:ab&dn=a b&tr=x"},
      {"/xml.php?x=1&url=http://h/a.torrent?y=2", "http://h/a.torrent?y=2"},
      {"/xml.php?url=", ""},
      {"/xml.php?nothing", ""},
      {"/xml.php", std::nullopt},
      {"/status/abc?url=x", std::nullopt},
      {"xml.php?url=x", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolutionLinkOf(c.target), c.link) << c.target;
}

TEST(ResolutionContract, AnswersEscapeTheFileAndClientsReadItBack) {
  struct Case {
    std::string file;
    std::string written;  // between the markers
  } cases[] = {
      {"http://127.0.0.1:47083/stream/ab/film.mp4", "http://127.0.0.1:47083/stream/ab/film.mp4"},
      {"http://m.test/v.mp4?a=1&b=2", "http://m.test/v.mp4?a=1&amp;b=2"},
      {"http://m.test/</file><file>http://evil/", "http://m.test/&lt;/file&gt;&lt;file&gt;http://evil/"},
      {"resp: a <broken> .torrent & more", "resp: a &lt;broken&gt; .torrent &amp; more"},
      {"&amp;", "&amp;amp;"},
  };
  for (const auto& c : cases) {
    const std::string answer = ResolutionAnswer(c.file);
    EXPECT_EQ(TextBetween(answer, "<file>", "</file>"), c.written) << answer;
    EXPECT_EQ(ResolutionFileText(TextBetween(answer, "<file>", "</file>")), c.file);
  }
  EXPECT_NE(ResolutionAnswer("x", "webm").find("</file>\n<type>webm</type>\n</video>"), std::string::npos);
  // What a service that escapes nothing wrote is read as it stands.
  EXPECT_EQ(ResolutionFileText("http://m.test/v.mp4?a=1&b=2&amp"), "http://m.test/v.mp4?a=1&b=2&amp");
}

}  // namespace
}  // namespace morvane
