// Reading Torznab answers: the fields of each item as Jackett and Prowlarr write them, the
// error document, and what is refused (document types, entities, anything else).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "search/TorznabFeed.h"

namespace morvane {
namespace {

using Kind = TorznabAnswer::Kind;

std::string Feed(const std::string& items, const std::string& declaration =
                                               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>") {
  return declaration +
         "\n<rss version=\"2.0\" xmlns:torznab=\"http://torznab.com/schemas/2015/feed\">"
         "<channel><title>indexer</title><link>http://indexer/</link>" +
         items + "</channel></rss>";
}

struct ItemCase {
  const char* name;
  std::string item;  // inside <item>…</item>
  TorznabItem expected;
};

TEST(TorznabFeed, ItemFields) {
  const std::string hash = "0123456789abcdef0123456789abcdef01234567";
  const ItemCase cases[] = {
      {"Jackett's shape",
       "<title>Sintel 2010</title><guid>g</guid><link>http://j/dl/1?jackett_apikey=K</link>"
       "<size>736519782</size><enclosure url=\"http://j/dl/1\" length=\"5\" "
       "type=\"application/x-bittorrent\"/>"
       "<torznab:attr name=\"seeders\" value=\"12\"/>"
       "<torznab:attr name=\"infohash\" value=\"" + hash + "\"/>"
       "<torznab:attr name=\"magneturl\" value=\"magnet:?xt=urn:btih:" + hash + "&amp;dn=x\"/>",
       {"Sintel 2010", "http://j/dl/1?jackett_apikey=K", "http://j/dl/1",
        "magnet:?xt=urn:btih:" + hash + "&dn=x", hash, 736519782, 12}},
      {"entities", "<title>Tom &amp; Jerry &lt;1080p&gt; &#x4E2D;&#22269; &quot;x&quot;</title>",
       {"Tom & Jerry <1080p> \xE4\xB8\xAD\xE5\x9B\xBD \"x\"", "", "", "", "", -1, -1}},
      {"CDATA and CJK",
       "<title><![CDATA[中国合伙人 <完整版> & more]]></title>",
       {"中国合伙人 <完整版> & more", "", "", "", "", -1, -1}},
      {"title across lines and blanks around",
       "<title>\n  first\nsecond  </title><link>\n http://l \n</link>",
       {"first\nsecond", "http://l", "", "", "", -1, -1}},
      {"size from the attribute when the element is missing",
       "<torznab:attr name=\"size\" value=\"2048\"/><enclosure url=\"u\" length=\"9\"/>",
       {"", "", "u", "", "", 2048, -1}},
      {"size from the enclosure last", "<enclosure url=\"u\" length=\"9\"/>",
       {"", "", "u", "", "", 9, -1}},
      {"a size that is no number", "<size>big</size><torznab:attr name=\"seeders\" value=\"-3\"/>",
       {"", "", "", "", "", -1, -1}},
      {"another prefix, upper-case names",
       "<newznab:attr xmlns:newznab=\"n\" name=\"MagnetUrl\" value=\"magnet:?xt=1\"/>"
       "<newznab:attr xmlns:newznab=\"n\" name=\"InfoHash\" value=\"ABC\"/>",
       {"", "", "", "magnet:?xt=1", "ABC", -1, -1}},
      {"only the first enclosure",
       "<enclosure url=\"first\"/><enclosure url=\"second\"/>", {"", "", "first", "", "", -1, -1}},
      {"fields of nested elements are not the item's",
       "<description><title>inner</title><link>inner</link></description><title>outer</title>",
       {"outer", "", "", "", "", -1, -1}},
  };
  for (const ItemCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TorznabAnswer answer = ReadTorznabAnswer(Feed("<item>" + c.item + "</item>"));
    ASSERT_EQ(answer.kind, Kind::Feed);
    ASSERT_EQ(answer.items.size(), 1u);
    const TorznabItem& got = answer.items[0];
    EXPECT_EQ(got.title, c.expected.title);
    EXPECT_EQ(got.link, c.expected.link);
    EXPECT_EQ(got.enclosure, c.expected.enclosure);
    EXPECT_EQ(got.magnetUrl, c.expected.magnetUrl);
    EXPECT_EQ(got.infoHash, c.expected.infoHash);
    EXPECT_EQ(got.size, c.expected.size);
    EXPECT_EQ(got.seeders, c.expected.seeders);
  }
}

TEST(TorznabFeed, ItemsInOrderAndTheChannelsOwnFieldsLeftOut) {
  std::string items;
  for (int i = 0; i < 250; ++i) items += "<item><title>t" + std::to_string(i) + "</title></item>";
  const TorznabAnswer answer = ReadTorznabAnswer(Feed(items));
  ASSERT_EQ(answer.kind, Kind::Feed);
  ASSERT_EQ(answer.items.size(), 250u);
  EXPECT_EQ(answer.items.front().title, "t0");
  EXPECT_EQ(answer.items.back().title, "t249");

  EXPECT_EQ(ReadTorznabAnswer(Feed("")).items.size(), 0u);
  EXPECT_EQ(ReadTorznabAnswer(Feed("")).kind, Kind::Feed);
}

TEST(TorznabFeed, EncodingsTheDocumentNames) {
  // "Café" in ISO-8859-1 comes out as UTF-8.
  const TorznabAnswer latin = ReadTorznabAnswer(
      Feed("<item><title>Caf\xE9</title></item>",
           "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"));
  ASSERT_EQ(latin.kind, Kind::Feed);
  EXPECT_EQ(latin.items.at(0).title, "Caf\xC3\xA9");
  // A byte-order mark before the declaration.
  EXPECT_EQ(ReadTorznabAnswer("\xEF\xBB\xBF" + Feed("<item/>")).items.size(), 1u);
}

TEST(TorznabFeed, ErrorDocument) {
  const TorznabAnswer answer = ReadTorznabAnswer(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<error code=\"100\" description=\"Invalid API Key\" />");
  EXPECT_EQ(answer.kind, Kind::Error);
  EXPECT_EQ(answer.errorCode, "100");
  EXPECT_EQ(answer.errorDescription, "Invalid API Key");
  EXPECT_TRUE(answer.items.empty());
}

TEST(TorznabFeed, RefusedAndUnreadableAnswers) {
  const std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaa\">"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
      "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
      "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\"><!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">"
      "<!ENTITY h \"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\"><!ENTITY i \"&h;&h;&h;&h;&h;&h;&h;&h;&h;&h;\">]>"
      "<rss><channel><item><title>&i;</title></item></channel></rss>";
  const struct {
    const char* name;
    std::string body;
  } cases[] = {
      {"entity expansion", laughs},
      {"external entity",
       "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
       "<rss><channel><item><title>&x;</title></item></channel></rss>"},
      {"external document type", "<!DOCTYPE rss SYSTEM \"http://127.0.0.1:1/rss.dtd\">" +
                                     Feed("<item/>", "")},
      {"an undeclared entity", Feed("<item><title>&nbsp;</title></item>")},
      {"a cut-off feed", Feed("<item><title>t</title></item>").substr(0, 150)},
      {"an HTML page", "<html><body>Jackett</body></html>"},
      {"not XML at all", "Unauthorized"},
      {"nothing", ""},
      {"an encoding expat does not know",
       Feed("<item/>", "<?xml version=\"1.0\" encoding=\"GBK\"?>")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TorznabAnswer answer = ReadTorznabAnswer(c.body);
    EXPECT_EQ(answer.kind, Kind::Unreadable);
    EXPECT_TRUE(answer.items.empty());
  }
}

}  // namespace
}  // namespace morvane
