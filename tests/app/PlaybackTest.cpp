#include <gtest/gtest.h>

#include "app/Playback.h"
#include "platform/ControlNames.h"
#include "tests/app/AppTestSession.h"
#include "web/Text.h"

namespace morvane::testing {
namespace {

const std::string kNotice = "publisher.test:8080/adminapi/vexapi/gg/ada.html";

// Waits until the playback started last has ended: its link written into a new top row of
// the history, or the rejection's switch to the search page.
bool WaitForPlayback(AppSession& s, std::size_t historyRows) {
  return s.ui.WaitUntil([&] {
    const auto rows = s.ui.Rows(kHistory);
    return (rows.size() >= historyRows && !rows[0].empty()) || s.ui.SelectedIndex(kPages) == 1;
  });
}

std::vector<Row> Column0(const std::vector<std::string>& links) {
  std::vector<Row> rows;
  for (const auto& l : links) rows.push_back(Row{l});
  return rows;
}

TEST(ResolutionAddress, EscapesOnlyWhatCannotStandInARequestLine) {
  Settings settings;
  settings.resolutionHost = "res.test:81";
  const std::string base = "http://res.test:81/xml.php?url=";
  struct Case {
    std::string link, sent;
  } cases[] = {
      {"", ""},
      {"magnet:?xt=urn:btih:0123456789abcdef&dn=x", "magnet:?xt=urn:btih:0123456789abcdef&dn=x"},
      {"ed2k://|file|a%20b|12|/", "ed2k://|file|a%20b|12|/"},
      {"http://h/a b", "http://h/a%20b"},
      {"a\tb\r\n\x01\x1F\x7F", "a%09b%0D%0A%01%1F%7F"},
      {"http://h/\xD6\xD0\x80\xFF", "http://h/%D6%D0%80%FF"},
      {"~!$'()*+,;=@[]{}^`\"<>\\", "~!$'()*+,;=@[]{}^`\"<>\\"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolutionAddress(settings, c.link), base + c.sent) << c.link;
  }
}

// One playback from a typed link to the player page, for every kind of answer.
TEST(Playback, FollowsTheAnswerOfTheResolutionService) {
  struct Case {
    const char* name;
    std::string answer;
    std::string prefix;
    bool rejected;
    std::string resolved;
  } cases[] = {
      {"plain", "<x><file>http://m.test/1.mp4</file></x>", "https://p.test/?v=", false,
       "http://m.test/1.mp4"},
      {"upper-case markers", "<FILE>http://m.test/2.mp4</File>", "https://p.test/?v=", false,
       "http://m.test/2.mp4"},
      {"resp rejects", "<file>http://m.test/resp/3</file>", "https://p.test/?v=", true,
       "http://m.test/resp/3"},
      {"RESP does not", "<file>http://m.test/RESP/4</file>", "https://p.test/?v=", false,
       "http://m.test/RESP/4"},
      {"resp outside the markers", "resp <file>http://m.test/5</file> resp",
       "https://p.test/?v=", false, "http://m.test/5"},
      {"no markers", "error", "https://p.test/?v=", false, ""},
      {"no prefix", "<file>http://m.test/6.mp4</file>", "", false, "http://m.test/6.mp4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResolutionService service([&](const std::string&) { return c.answer; });
    auto& s = NewSession(ServiceSettings(service.host()));
    s.program.texts.Set(ProgramText::PlayerPagePrefix, c.prefix);
    s.ui.SetText(kLinkBox, "  magnet:?xt=urn:btih:AA  ");

    StartPlayback(s.program);
    ASSERT_TRUE(WaitForPlayback(s, 1));

    EXPECT_EQ(service.Targets(), std::vector<std::string>{"/xml.php?url=magnet:?xt=urn:btih:AA"});
    EXPECT_EQ(s.ui.CacheClears(), 1);
    EXPECT_EQ(s.program.texts.Get(ProgramText::ResolvePage), c.answer);
    EXPECT_EQ(s.program.texts.Get(ProgramText::ResolvedAddress), c.resolved);
    if (c.rejected) {
      ASSERT_EQ(s.ui.Messages().size(), 1u);
      EXPECT_EQ(s.ui.Messages()[0].text, Gbk("种子链接失效了,请更换种子链接"));
      EXPECT_EQ(s.ui.Messages()[0].caption, Gbk("信息："));
      EXPECT_EQ(s.ui.Messages()[0].buttons, MessageButtons::Ok);
      EXPECT_EQ(s.ui.SelectedIndex(kPages), 1);
      EXPECT_EQ(s.ui.Navigations(kPlayer), std::vector<std::string>{kNotice});
      EXPECT_TRUE(s.ui.Rows(kHistory).empty());
      EXPECT_EQ(s.program.texts.Get(ProgramText::PlayingAddress), "");
    } else {
      EXPECT_TRUE(s.ui.Messages().empty());
      EXPECT_EQ(s.ui.Navigations(kPlayer),
                (std::vector<std::string>{kNotice, c.prefix + c.resolved}));
      EXPECT_EQ(s.ui.Rows(kHistory), Column0({"  magnet:?xt=urn:btih:AA  "}));
      EXPECT_EQ(s.program.texts.Get(ProgramText::PlayingAddress), c.resolved);
    }
  }
}

TEST(Playback, LinksReachTheServiceTrimmedAndEscapedAndAreRecordedAsTyped) {
  struct Case {
    std::string typed, target;
  } cases[] = {
      {"", "/xml.php?url="},
      {"\xA1\xA1 ftp://h/a b \xA1\xA1", "/xml.php?url=ftp://h/a%20b"},
      {"thunder://QUFh\t", "/xml.php?url=thunder://QUFh%09"},
      {"http://h/\xD6\xD0.mp4?a=1&b=%41", "/xml.php?url=http://h/%D6%D0.mp4?a=1&b=%41"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    ResolutionService service([](const std::string&) { return "<file>m</file>"; });
    auto& s = NewSession(ServiceSettings(service.host()));
    s.ui.SetText(kLinkBox, c.typed);
    StartPlayback(s.program);
    ASSERT_TRUE(WaitForPlayback(s, 1));
    EXPECT_EQ(service.Targets(), std::vector<std::string>{c.target});
    EXPECT_EQ(s.ui.Rows(kHistory), Column0({c.typed}));
  }
}

TEST(Playback, UnreachableServiceShowsThePrefixAloneAndStillRecords) {
  std::string deadHost;
  {
    ResolutionService gone([](const std::string&) { return ""; });
    deadHost = gone.host();
  }
  auto& s = NewSession(ServiceSettings(deadHost));
  s.program.texts.Set(ProgramText::PlayerPagePrefix, "https://p.test/?v=");
  s.ui.SetText(kLinkBox, "magnet:?xt=urn:btih:BB");
  StartPlayback(s.program);
  ASSERT_TRUE(WaitForPlayback(s, 1));
  EXPECT_EQ(s.ui.Navigations(kPlayer), (std::vector<std::string>{kNotice, "https://p.test/?v="}));
  EXPECT_EQ(s.ui.Rows(kHistory), Column0({"magnet:?xt=urn:btih:BB"}));
  EXPECT_TRUE(s.ui.Messages().empty());
}

TEST(Playback, EveryPlayAddsARowOnTop) {
  ResolutionService service([](const std::string&) { return "<file>m</file>"; });
  auto& s = NewSession(ServiceSettings(service.host()));
  s.ui.AppendRows(kHistory, Column0({"loaded"}));
  const std::vector<std::string> plays = {"same", "same", "other"};
  for (std::size_t i = 0; i < plays.size(); ++i) {
    s.ui.SetText(kLinkBox, plays[i]);
    StartPlayback(s.program);
    ASSERT_TRUE(WaitForPlayback(s, i + 2));
  }
  EXPECT_EQ(s.ui.Rows(kHistory), Column0({"other", "same", "same", "loaded"}));
  EXPECT_EQ(s.ui.CacheClears(), 3);
}

TEST(Playback, SelectedRowsPlayTheirLinks) {
  struct Case {
    const char* name;
    std::string_view list;
    int selected;
    std::string link;
    bool switchesToPlaybackPage;
  } cases[] = {
      {"result row", kResults, 1, "magnet:?xt=urn:btih:R2", true},
      {"no result selected", kResults, -1, "", true},
      {"history row", kHistory, 1, "h2", false},
      {"no history row selected", kHistory, -1, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResolutionService service([](const std::string&) { return "<file>m</file>"; });
    auto& s = NewSession(ServiceSettings(service.host()));
    s.ui.AppendRows(kResults, {{"1", "n1", "magnet:?xt=urn:btih:R1", "1 MB"},
                               {"2", "n2", "magnet:?xt=urn:btih:R2", "2 MB"}});
    s.ui.AppendRows(kHistory, Column0({"h1", "h2"}));
    s.ui.SetSelectedIndex(kPages, 2);
    s.ui.SetSelectedIndex(c.list, c.selected);
    s.ui.SetText(kLinkBox, "before");

    if (c.list == kResults) {
      PlaySelectedResult(s.program);
    } else {
      PlaySelectedHistory(s.program);
    }
    ASSERT_TRUE(WaitForPlayback(s, 3));
    EXPECT_EQ(s.ui.Text(kLinkBox), c.link);
    EXPECT_EQ(s.ui.Rows(kHistory)[0], Row{c.link});
    EXPECT_EQ(service.Targets(), std::vector<std::string>{"/xml.php?url=" + c.link});
    EXPECT_EQ(s.ui.SelectedIndex(kPages), c.switchesToPlaybackPage ? 0 : 2);
    EXPECT_EQ(s.ui.Navigations(kPlayer).front(), kNotice);
  }
}

TEST(Playback, LibraryPageGoesStraightToThePlayerService) {
  auto& s = NewSession(ServiceSettings("unused.test"));
  s.ui.SetText("编辑框_高清影库", "http://v.test/a_b c.html");
  PlayLibraryPage(s.program);
  EXPECT_EQ(s.ui.Navigations("高清影库浏览框"),
            std::vector<std::string>{
                "https://player.test/api/play.jsp?url=http%3A%2F%2Fv.test%2Fa_b%20c.html"});
  EXPECT_EQ(s.ui.CacheClears(), 0);
  EXPECT_TRUE(s.ui.Navigations(kPlayer).empty());
  EXPECT_TRUE(s.ui.Rows(kHistory).empty());
}

}  // namespace
}  // namespace morvane::testing
