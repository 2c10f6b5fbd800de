// Searching a Torznab indexer against a local one: the request of each page, every way from an
// item to a magnet link (real redirects and .torrent bodies), the rows of a page, the
// indexer's errors, and the key kept out of everything but the request's query.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "search/IndexerSearch.h"
#include "tests/support/LocalServer.h"
#include "tests/support/ReferenceSha1.h"
#include "web/FetchPage.h"
#include "web/Text.h"

namespace morvane {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kKey[] = "K3yOfTheIndexer0042";
const std::string kHash = "0123456789abcdef0123456789abcdef01234567";
const std::string kMagnet = "magnet:?xt=urn:btih:" + kHash + "&dn=from%20redirect";

// A torrent of one 5-byte file and the info-hash a reference SHA-1 gives for it.
const std::string kInfo = "d6:lengthi5e4:name5:a.mp412:piece lengthi16384e6:pieces20:" +
                          std::string(20, 'p') + "e";
const std::string kTorrent = "d8:announce20:http://t.example/ann4:info" + kInfo + "e";
const std::string kTorrentHash = testing::Sha1Hex(kInfo);

// An indexer: /api answers what the test sets; the download addresses answer in every way an
// indexer's or a site's do. Each request's target and Referer are kept.
class LocalIndexer {
 public:
  LocalIndexer() {
    auto& s = server_.server();
    s.Get("/api", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      res.status = status_;
      res.set_content(answer_, "application/rss+xml; charset=utf-8");
    });
    s.Get("/moved", [](const httplib::Request&, httplib::Response& res) {
      res.status = 301;
      res.set_header("Location", kMagnet);
    });
    s.Get("/dl/first", [](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", "second?x=1");  // relative to /dl/
    });
    s.Get("/dl/second", [](const httplib::Request&, httplib::Response& res) {
      res.status = 307;
      res.set_header("Location", "/found");
    });
    s.Get("/found", [](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", kMagnet);
    });
    s.Get("/torrent", [this](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(std::chrono::milliseconds(torrentDelayMs_.load()));
      res.set_content(kTorrent, "application/x-bittorrent");
    });
    s.Get("/no-pieces", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("d4:infod4:name1:aee", "application/x-bittorrent");
    });
    s.Get("/html", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<html>login first</html>", "text/html");
    });
    s.Get("/loop", [](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", "/loop");
    });
    s.Get("/keyed", [](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", kMagnet + "&xs=http%3A%2F%2Fi%2Fdl%3Fapikey%3D" + kKey +
                                     "&tr=http%3A%2F%2Ft%2Fa");
    });
    // Kept before the answer goes out, so a test that has its answer sees the request.
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
      std::lock_guard lock(mutex_);
      targets_.push_back(req.target);
      referers_.push_back(req.get_header_value("Referer"));
      return httplib::Server::HandlerResponse::Unhandled;
    });
    server_.Start();
  }
  ~LocalIndexer() { server_.Stop(); }

  std::string base() const { return server_.base(); }
  IndexerSource Source() const { return {Gbk("本地"), base() + "/api", kKey}; }
  void Answer(int status, std::string body) {
    std::lock_guard lock(mutex_);
    status_ = status;
    answer_ = std::move(body);
  }
  std::vector<std::string> Targets() {
    std::lock_guard lock(mutex_);
    return targets_;
  }
  std::vector<std::string> Referers() {
    std::lock_guard lock(mutex_);
    return referers_;
  }
  std::atomic<int> torrentDelayMs_{0};

 private:
  testing::LocalServer server_;
  std::mutex mutex_;
  int status_ = 200;
  std::string answer_;
  std::vector<std::string> targets_;
  std::vector<std::string> referers_;
};

LinkFollower Follower() {
  const auto due = Clock::now() + std::chrono::seconds(20);
  return [due](const std::string& address, std::string_view title) {
    return FollowToMagnet(address, title, due);
  };
}

std::string Feed(const std::string& items) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><rss version=\"2.0\" "
         "xmlns:torznab=\"http://torznab.com/schemas/2015/feed\"><channel>" +
         items + "</channel></rss>";
}

TEST(IndexerSearch, EachKindOfItemLeadsToItsMagnetLink) {
  LocalIndexer indexer;
  const std::string b = indexer.base();
  const std::string hashMagnet = "magnet:?xt=urn:btih:" + kHash + "&dn=%E4%B8%AD%20x";
  const std::string torrentMagnet = "magnet:?xt=urn:btih:" + kTorrentHash + "&dn=%E4%B8%AD%20x";
  const struct {
    const char* name;
    TorznabItem item;  // the title is "中 x" in every case
    std::string magnet;
  } cases[] = {
      {"magneturl, a magnet link", {.magnetUrl = kMagnet, .infoHash = "ff"}, kMagnet},
      {"magneturl, an address that redirects (301)", {.magnetUrl = b + "/moved"}, kMagnet},
      {"magneturl that leads nowhere, then the infohash",
       {.magnetUrl = b + "/html", .infoHash = kHash}, hashMagnet},
      {"infohash", {.link = b + "/moved", .infoHash = kHash}, hashMagnet},
      {"infohash in base32", {.infoHash = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"},
       "magnet:?xt=urn:btih:ABCDEFGHIJKLMNOPQRSTUVWXYZ234567&dn=%E4%B8%AD%20x"},
      {"an infohash that is none, then the link", {.link = b + "/moved", .infoHash = "xyz"},
       kMagnet},
      {"link: redirects, relative ones among them", {.link = b + "/dl/first"}, kMagnet},
      {"link: a .torrent file", {.link = b + "/torrent"}, torrentMagnet},
      {"link: a magnet link itself", {.link = kMagnet}, kMagnet},
      {"link: a page, then the enclosure", {.link = b + "/html", .enclosure = b + "/torrent"},
       torrentMagnet},
      {"enclosure after a link that is missing",
       {.link = b + "/missing", .enclosure = b + "/moved"}, kMagnet},
      {"a torrent without pieces names no download", {.link = b + "/no-pieces"}, ""},
      {"redirects in a circle end", {.link = b + "/loop"}, ""},
      {"an unreachable link", {.link = "http://127.0.0.1:1/x"}, ""},
      {"another scheme", {.link = "ftp://host/x.torrent"}, ""},
      {"nothing at all", {}, ""},
  };
  const LinkFollower follow = Follower();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TorznabItem item = c.item;
    item.title = "中 x";
    EXPECT_EQ(ItemMagnet(item, follow), c.magnet);
  }
}

TEST(IndexerSearch, NothingIsFetchedOnceTheDeadlineHasPassed) {
  LocalIndexer indexer;
  EXPECT_EQ(FollowToMagnet(indexer.base() + "/moved", "t", Clock::now()), "");
  EXPECT_TRUE(indexer.Targets().empty());
}

TEST(IndexerSearch, RowsMostSeededFirstWithCleanLinks) {
  LocalIndexer indexer;
  std::vector<TorznabItem> items = {
      {.title = "few", .infoHash = kHash, .size = 736519782, .seeders = 2},
      {.title = "none", .link = indexer.base() + "/html", .seeders = 900},
      {.title = "unknown", .magnetUrl = "magnet:?xt=urn:btih:" + kHash + "&dn=a b\x01", .size = 5},
      {.title = "多\nlines", .link = indexer.base() + "/keyed", .size = 2201170739, .seeders = 50},
      {.title = "most", .enclosure = indexer.base() + "/torrent", .seeders = 51},
  };
  const ScrapedFields fields = IndexerFields(items, Follower(), kKey);
  EXPECT_EQ(fields.names, (TextList{"most", Gbk("多 lines"), "few", "unknown"}));
  EXPECT_EQ(fields.hashes, (TextList{kTorrentHash, kHash, kHash, kHash}));
  EXPECT_EQ(fields.sizes, (TextList{"", "2.05 GB", "702.4 MB", "5 B"}));
  ASSERT_EQ(fields.links.size(), 4u);
  EXPECT_EQ(fields.links[0], "magnet:?xt=urn:btih:" + kTorrentHash + "&dn=most");
  // The parameter that carried the key is gone; the rest stays, escaped onto one line.
  EXPECT_EQ(fields.links[1], kMagnet + "&tr=http%3A%2F%2Ft%2Fa");
  EXPECT_EQ(fields.links[2], "magnet:?xt=urn:btih:" + kHash + "&dn=few");
  EXPECT_EQ(fields.links[3], "magnet:?xt=urn:btih:" + kHash + "&dn=a%20b%01");
}

TEST(IndexerSearch, LinksAreFollowedTogetherAndKeepTheirRows) {
  LocalIndexer indexer;
  indexer.torrentDelayMs_ = 50;
  std::vector<TorznabItem> items;
  for (int i = 0; i < 12; ++i) {
    TorznabItem item;
    item.title = "t" + std::to_string(i);
    if (i % 3 == 0) item.link = indexer.base() + "/torrent";
    else if (i % 3 == 1) item.link = indexer.base() + "/dl/first";
    else item.infoHash = kHash;
    items.push_back(item);
  }
  const ScrapedFields fields = IndexerFields(items, Follower(), kKey);
  ASSERT_EQ(fields.names.size(), 12u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(fields.names[i], "t" + std::to_string(i));
    EXPECT_EQ(fields.hashes[i], i % 3 == 0 ? kTorrentHash : kHash) << i;
  }
}

TEST(IndexerSearch, SizesAsTheSitesShowThem) {
  const struct {
    std::int64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 B"},         {1023, "1023 B"},          {1024, "1 KB"},
      {1536, "1.5 KB"},   {7130317, "6.8 MB"},       {736519782, "702.4 MB"},
      {2201170739, "2.05 GB"}, {1099511627776, "1 TB"}, {1048575, "1024 KB"},
  };
  for (const auto& c : cases) EXPECT_EQ(SizeText(c.bytes), c.text) << c.bytes;
}

TEST(IndexerSearch, PagesAskForTheirOffset) {
  const IndexerSource plain{"n", "http://i/api", "k/ey"};
  const IndexerSource withQuery{"n", "http://i/1/api?cat=2000", ""};
  const struct {
    const IndexerSource* indexer;
    int page;
    std::string address;
  } cases[] = {
      {&plain, 1, "http://i/api?t=search&q=%E4%B8%AD&limit=20&offset=0&apikey=k%2Fey"},
      {&plain, 2, "http://i/api?t=search&q=%E4%B8%AD&limit=20&offset=20&apikey=k%2Fey"},
      {&plain, 5, "http://i/api?t=search&q=%E4%B8%AD&limit=20&offset=80&apikey=k%2Fey"},
      {&withQuery, 3, "http://i/1/api?cat=2000&t=search&q=%E4%B8%AD&limit=20&offset=40"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IndexerAddress(*c.indexer, EncodeKeyword(Gbk("中")), c.page), c.address) << c.page;
  }
}

TEST(IndexerSearch, WhatTheIndexerAnswersInsteadOfAFeed) {
  LocalIndexer indexer;
  const struct {
    const char* name;
    int status;
    std::string body;
    std::string error;
  } cases[] = {
      {"Prowlarr's wrong key", 401, "", "HTTP 401 Unauthorized"},
      {"forbidden", 403, "<html/>", "HTTP 403 Forbidden"},
      {"Jackett's wrong key", 200, "<error code=\"100\" description=\"Invalid API Key\"/>",
       "error 100: Invalid API Key"},
      {"an error that quotes the key and breaks lines", 200,
       std::string("<error code=\"900\" description=\"key ") + kKey + " refused&#10;try again\"/>",
       "error 900: key *** refused try again"},
      {"a page instead of a feed", 200, "<html><body>Jackett</body></html>",
       "the answer is not a Torznab feed"},
      {"a feed", 200, Feed("<item><title>t</title><torznab:attr name=\"infohash\" value=\"" +
                           kHash + "\"/></item>"),
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    indexer.Answer(c.status, c.body);
    const IndexerPage page = FetchIndexerPage(indexer.Source(), "x", 1);
    EXPECT_EQ(page.error, c.error);
    EXPECT_EQ(page.fields.hashes.size(), c.error.empty() ? 1u : 0u);
    EXPECT_EQ(page.error.find(kKey), std::string::npos);
    EXPECT_EQ(IndexerErrorMessage(indexer.Source(), page.error).find(kKey), std::string::npos);
  }
  EXPECT_EQ(IndexerErrorMessage(indexer.Source(), "HTTP 401 Unauthorized"),
            Gbk("索引器“本地”出错：HTTP 401 Unauthorized"));
  // The key went in every request's query and in no Referer.
  for (const std::string& target : indexer.Targets())
    EXPECT_NE(target.find(std::string("&apikey=") + kKey), std::string::npos) << target;
  for (const std::string& referer : indexer.Referers()) {
    EXPECT_EQ(referer, indexer.base() + "/api");
  }
}

TEST(IndexerSearch, AnUnreachableIndexerEndsWithoutAWord) {
  const IndexerSource gone{"gone", "http://127.0.0.1:1/api", kKey};
  const IndexerPage page = FetchIndexerPage(gone, "x", 1);
  EXPECT_EQ(page.error, "");
  EXPECT_TRUE(page.fields.hashes.empty());
}

TEST(IndexerSearch, DownloadLinksGoWithoutTheKeyInTheReferer) {
  LocalIndexer indexer;
  const std::string link = indexer.base() + "/torrent?apikey=" + kKey;
  indexer.Answer(200, Feed("<item><title>t</title><link>" + link + "</link></item>"));
  const IndexerPage page = FetchIndexerPage(indexer.Source(), "x", 1);
  EXPECT_EQ(page.fields.hashes, (TextList{kTorrentHash}));
  const auto referers = indexer.Referers();
  ASSERT_EQ(referers.size(), 2u);
  EXPECT_EQ(referers[1], indexer.base() + "/torrent");
}

}  // namespace
}  // namespace morvane
