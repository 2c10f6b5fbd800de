// The whole road of a search and its load-mores: clicks through the port, real requests to
// a local server that plays both sites (the first answers in UTF-8, the second in GBK),
// rows in the result list.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "platform/ControlNames.h"
#include "search/ResultRows.h"
#include "search/SearchController.h"
#include "tests/search/SitePages.h"
#include "tests/support/LocalServer.h"
#include "tests/support/RecordingControls.h"
#include "web/Text.h"

namespace morvane {
namespace {

constexpr int kResultsPerPage = 20;

// Both sites on one local server: the first site's pages under "/?s=..&p=..", the second's
// under "/search/../currentPage/..". Each page holds 20 results named "[<keyword>] 第<p>页 <i>";
// the keyword "none" has no results.
std::string Tag(const std::string& keyword) {
  return "[" + keyword + "]";
}

class Sites {
 public:
  Sites() {
    auto& s = server_.server();
    s.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
      Arrived(req);
      const std::string keyword = req.get_param_value("s");
      const int page = std::atoi(req.get_param_value("p").c_str());
      res.set_content(testing::FirstSitePage(Results(keyword, page)), "text/html; charset=utf-8");
    });
    s.Get(R"(/search/(.*)/currentPage/(\d+))",
          [this](const httplib::Request& req, httplib::Response& res) {
            Arrived(req);
            const std::string keyword = req.matches[1];
            const int page = std::atoi(std::string(req.matches[2]).c_str());
            res.set_content(Gbk(testing::SecondSitePage(Results(keyword, page), base())),
                            "text/html; charset=gbk");
          });
    s.set_logger([this](const httplib::Request& req, const httplib::Response&) {
      std::lock_guard lock(mutex_);
      answered_.push_back(req.target);
      changed_.notify_all();
    });
    server_.Start();
  }
  ~Sites() {
    OpenGate();
    server_.Stop();
  }

  std::string base() const { return server_.base(); }

  // Raw request targets ("/?s=%E4%B8%AD&p=1"), in arrival order.
  std::vector<std::string> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // Holds back the answers to requests whose target ends with `suffix` until OpenGate().
  void CloseGate(std::string suffix) {
    std::lock_guard lock(mutex_);
    gate_ = std::move(suffix);
  }
  void OpenGate() {
    std::lock_guard lock(mutex_);
    gate_.clear();
    changed_.notify_all();
  }
  void WaitForRequests(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return requests_.size() >= n; });
  }
  void WaitForAnswer(const std::string& target) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
      return std::find(answered_.begin(), answered_.end(), target) != answered_.end();
    });
  }

 private:
  static std::vector<testing::SiteResult> Results(const std::string& keyword, int page) {
    if (keyword == "none") return {};
    return testing::NumberedResults(Tag(keyword), page, kResultsPerPage);
  }
  void Arrived(const httplib::Request& req) {
    std::unique_lock lock(mutex_);
    requests_.push_back(req.target);
    changed_.notify_all();
    changed_.wait(lock, [&] { return gate_.empty() || !req.target.ends_with(gate_); });
  }

  testing::LocalServer server_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> requests_;
  std::vector<std::string> answered_;
  std::string gate_;
};

// Workers are detached and may outlive a test that has seen what it waited for (a dropped
// page has no visible trace), so everything they touch lives until the process ends.
struct World {
  explicit World(const std::string& firstSiteBase = "")
      : program(ui,
                MakeSettings(firstSiteBase.empty() ? sites.base() : firstSiteBase, sites.base())) {}

  Sites sites;
  testing::RecordingControls ui;
  Program program;

  static Settings MakeSettings(const std::string& first, const std::string& second) {
    Settings s;
    s.firstSiteBase = first;
    s.secondSiteBase = second;
    return s;
  }
};

World& NewWorld(const std::string& firstSiteBase = "") {
  static auto* worlds = new std::vector<std::unique_ptr<World>>;
  return *worlds->emplace_back(std::make_unique<World>(firstSiteBase));
}

class SearchRoad : public ::testing::Test {
 protected:
  World& w = NewWorld();

  void Type(const std::string& keywordUtf8, int site) {
    w.ui.SetText("编辑框_种子关键字", Gbk(keywordUtf8));
    w.ui.SetSelectedIndex("组合框1", site);
  }
  int Finished() {
    int n = 0;
    for (const auto& c : w.ui.Calls()) n += c.starts_with("SetText 种子结果标签 ");
    return n;
  }
  // Runs a click's routine and waits until its page has been listed.
  void Click(void (*routine)(Program&)) {
    const int before = Finished();
    routine(w.program);
    ASSERT_TRUE(w.ui.WaitUntil([&] { return Finished() > before; }));
  }
  // The rows a keyword's pages list, numbered from 1.
  static std::vector<Row> Expected(const std::string& keywordUtf8, std::vector<int> pages) {
    std::vector<Row> rows;
    for (int page : pages) {
      for (const auto& r : testing::NumberedResults(Tag(keywordUtf8), page, kResultsPerPage)) {
        rows.push_back({std::to_string(rows.size() + 1), Gbk("【双击播放】" + r.name),
                        "magnet:?xt=urn:btih:" + r.hash, Gbk(r.size)});
      }
    }
    return rows;
  }
  void ExpectSearchEnded() {
    EXPECT_FALSE(w.ui.Visible("标签5"));
    EXPECT_FALSE(w.ui.Visible("图片框7"));
    EXPECT_EQ(w.ui.Text("种子结果标签"), EndOfSearchStatus());
  }
};

TEST_F(SearchRoad, PagesNumberOnAndANewSearchStartsAgain) {
  for (int site : {0, 1}) {
    SCOPED_TRACE(site);
    const std::string prefix =
        site == 0 ? "/?s=%E4%B8%AD%E5%9B%BD&p=" : "/search/%E4%B8%AD%E5%9B%BD/currentPage/";
    const std::size_t before = w.sites.Requests().size();
    Type("中国", site);

    Click(StartSearch);
    EXPECT_EQ(w.ui.Rows(kResults), Expected("中国", {1}));
    ExpectSearchEnded();
    Click(StartLoadMore);
    EXPECT_EQ(w.ui.Rows(kResults), Expected("中国", {1, 2}));
    Click(StartLoadMore);
    EXPECT_EQ(w.ui.Rows(kResults), Expected("中国", {1, 2, 3}));
    ExpectSearchEnded();

    Click(StartSearch);
    EXPECT_EQ(w.ui.Rows(kResults), Expected("中国", {1}));
    Click(StartLoadMore);
    EXPECT_EQ(w.ui.Rows(kResults), Expected("中国", {1, 2}));

    const auto requests = w.sites.Requests();
    EXPECT_EQ(std::vector<std::string>(requests.begin() + before, requests.end()),
              (std::vector<std::string>{prefix + "1", prefix + "2", prefix + "3", prefix + "1",
                                        prefix + "2"}));
  }
}

TEST_F(SearchRoad, KeywordTravelsPercentEncodedAsUtf8) {
  struct Case {
    const char* keyword;
    int site;
    const char* target;
  } cases[] = {
      {" ", 0, "/?s=%20&p=1"},
      {"a_b", 0, "/?s=a%5Fb&p=1"},
      {" ", 1, "/search/%20/currentPage/1"},
      {"a_b", 1, "/search/a%5Fb/currentPage/1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    Type(c.keyword, c.site);
    Click(StartSearch);
    EXPECT_EQ(w.sites.Requests().back(), c.target);
    EXPECT_EQ(w.ui.Rows(kResults), Expected(c.keyword, {1}));
  }
}

TEST_F(SearchRoad, LoadMoreReadsKeywordAndSiteAnew) {
  Type("old", 0);
  Click(StartSearch);
  Type("new", 1);
  Click(StartLoadMore);
  EXPECT_EQ(w.sites.Requests().back(), "/search/new/currentPage/2");
  auto rows = w.ui.Rows(kResults);
  ASSERT_EQ(rows.size(), 2u * kResultsPerPage);
  EXPECT_EQ(rows[20], Expected("new", {1, 2})[20]);
}

TEST_F(SearchRoad, NoResultsOrNoAnswerStillEndTheSearch) {
  for (int site : {0, 1}) {
    Type("中国", site);
    Click(StartSearch);
    ASSERT_EQ(w.ui.Rows(kResults).size(), static_cast<std::size_t>(kResultsPerPage));

    Type("none", site);
    Click(StartSearch);
    EXPECT_TRUE(w.ui.Rows(kResults).empty());
    ExpectSearchEnded();
    Click(StartLoadMore);
    EXPECT_TRUE(w.ui.Rows(kResults).empty());
    ExpectSearchEnded();
  }

  // A site that cannot be reached gives an empty page.
  std::string closedBase;
  {
    testing::LocalServer closed;
    closed.Start();
    closedBase = closed.base();
  }
  World& unreachable = NewWorld(closedBase);
  unreachable.ui.SetText("编辑框_种子关键字", "x");
  StartSearch(unreachable.program);
  ASSERT_TRUE(unreachable.ui.WaitUntil(
      [&] { return unreachable.ui.Text("种子结果标签") == EndOfSearchStatus(); }));
  EXPECT_TRUE(unreachable.ui.Rows(kResults).empty());
  EXPECT_FALSE(unreachable.ui.Visible("标签5"));
}

TEST_F(SearchRoad, EmptyKeywordIsRefusedAndTheListStays) {
  Type("中国", 0);
  Click(StartSearch);
  const auto rows = w.ui.Rows(kResults);
  const auto calls = w.ui.Calls().size();
  const auto requests = w.sites.Requests().size();

  w.ui.SetText("编辑框_种子关键字", "");
  StartSearch(w.program);

  const auto messages = w.ui.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(LocalToUtf8(messages[0].text), "请先输入您想要搜索的关键字");
  EXPECT_EQ(LocalToUtf8(messages[0].caption), "信息：");
  EXPECT_EQ(messages[0].buttons, MessageButtons::Ok);
  EXPECT_EQ(w.ui.Calls().size(), calls + 2);  // the keyword box write, the message
  EXPECT_EQ(w.ui.Rows(kResults), rows);
  EXPECT_EQ(w.sites.Requests().size(), requests);
}

// A load-more still waiting for its page when a new search starts belongs to the list the
// search cleared: its rows never reach the new list.
TEST_F(SearchRoad, PageOfAReplacedSearchIsNotListed) {
  Type("old", 0);
  Click(StartSearch);
  w.sites.CloseGate("&p=2");
  StartLoadMore(w.program);
  w.sites.WaitForRequests(2);

  Type("new", 0);
  Click(StartSearch);
  w.sites.OpenGate();
  w.sites.WaitForAnswer("/?s=old&p=2");
  Click(StartLoadMore);
  EXPECT_EQ(w.ui.Rows(kResults), Expected("new", {1, 2}));
}

// Searches and load-mores clicked in quick succession on both sites. At every moment the
// list holds whole pages, numbered 1, 2, 3, ... without gap, no page twice; a search after
// them all lists only its own rows.
TEST_F(SearchRoad, OverlappingSearchesAndLoadMoresKeepTheListWhole) {
  Type("kw", 0);
  std::mt19937 random(7);
  std::size_t clicks = 0;
  auto checkWhole = [&] {
    const auto rows = w.ui.Rows(kResults);
    ASSERT_EQ(rows.size() % kResultsPerPage, 0u);
    std::set<std::string> pages;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      ASSERT_EQ(rows[i][0], std::to_string(i + 1));
      const std::string name = LocalToUtf8(rows[i][1]);
      const auto space = name.rfind(' ');
      ASSERT_EQ(name.substr(space + 1), std::to_string(i % kResultsPerPage + 1)) << name;
      if (i % kResultsPerPage == 0) {
        ASSERT_TRUE(pages.insert(name.substr(0, space)).second) << name;
      }
    }
  };
  for (int round = 0; round < 40; ++round) {
    w.ui.SetSelectedIndex("组合框1", static_cast<int>(random() % 2));
    if (random() % 4 == 0) {
      StartSearch(w.program);
    } else {
      StartLoadMore(w.program);
    }
    ++clicks;
    checkWhole();
  }
  w.sites.WaitForRequests(clicks);
  checkWhole();

  // Every earlier worker has taken its page number now; from this search on, their pages
  // are dropped.
  auto listedAndEnded = [&](const std::vector<Row>& rows) {
    return w.ui.WaitUntil([&] {
      const auto calls = w.ui.Calls();
      return w.ui.Rows(kResults) == rows && calls.back().starts_with("SetText 种子结果标签");
    });
  };
  Type("last", 1);
  StartSearch(w.program);
  EXPECT_TRUE(listedAndEnded(Expected("last", {1})));
  StartLoadMore(w.program);
  EXPECT_TRUE(listedAndEnded(Expected("last", {1, 2})));
}

// ---- The user's indexers in the site box, after the two sites ---------------------------

constexpr char kIndexerKey[] = "TheIndexerKey1234";

// Three indexers on one local server: /good/api answers feeds of 20 items for any offset,
// /prowlarr/api refuses the key with 401, /jackett/api with Jackett's <error>.
class Indexers {
 public:
  Indexers() {
    auto& s = server_.server();
    s.Get("/good/api", [this](const httplib::Request& req, httplib::Response& res) {
      Arrived(req);
      const int offset = std::atoi(req.get_param_value("offset").c_str());
      const std::string keyword = req.get_param_value("q");
      std::vector<long long> sizes(kResultsPerPage, 1536);
      res.set_content(keyword == "none" ? testing::TorznabFeedOf({}, {})
                                        : testing::TorznabFeedOf(Results(keyword, offset), sizes),
                      "application/rss+xml; charset=utf-8");
    });
    s.Get("/prowlarr/api", [this](const httplib::Request& req, httplib::Response& res) {
      Arrived(req);
      res.status = 401;
    });
    s.Get("/jackett/api", [this](const httplib::Request& req, httplib::Response& res) {
      Arrived(req);
      res.set_content("<error code=\"100\" description=\"Invalid API Key\" />", "text/xml");
    });
    server_.Start();
  }
  ~Indexers() { server_.Stop(); }
  std::vector<IndexerSource> Sources() const {
    return {{Gbk("好索引"), server_.base() + "/good/api", kIndexerKey},
            {"Prowlarr", server_.base() + "/prowlarr/api", kIndexerKey},
            {"Jackett", server_.base() + "/jackett/api", kIndexerKey}};
  }
  std::vector<std::string> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // The results of the page at `offset`: those of the sites' page offset / 20 + 1.
  static std::vector<testing::SiteResult> Results(const std::string& keyword, int offset) {
    return testing::NumberedResults(Tag(keyword), offset / kResultsPerPage + 1, kResultsPerPage);
  }

 private:
  void Arrived(const httplib::Request& req) {
    std::lock_guard lock(mutex_);
    requests_.push_back(req.target);
  }
  testing::LocalServer server_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

struct IndexerWorld {
  Indexers indexers;
  testing::RecordingControls ui;
  Program program{ui, [this] {
                    Settings s;
                    s.indexers = indexers.Sources();
                    return s;
                  }()};
};

class IndexerRoad : public ::testing::Test {
 protected:
  IndexerWorld& w = *[] {
    static auto* worlds = new std::vector<std::unique_ptr<IndexerWorld>>;
    return worlds->emplace_back(std::make_unique<IndexerWorld>()).get();
  }();

  int Finished() {
    int n = 0;
    for (const auto& c : w.ui.Calls()) n += c.starts_with("SetText 种子结果标签 ");
    return n;
  }
  void Click(void (*routine)(Program&)) {
    const int before = Finished();
    routine(w.program);
    ASSERT_TRUE(w.ui.WaitUntil([&] { return Finished() > before; }));
  }
  static std::vector<Row> Expected(const std::string& keyword, std::vector<int> pages) {
    std::vector<Row> rows;
    for (int page : pages) {
      for (const auto& r : Indexers::Results(keyword, (page - 1) * kResultsPerPage)) {
        rows.push_back({std::to_string(rows.size() + 1), Gbk("【双击播放】" + r.name),
                        "magnet:?xt=urn:btih:" + r.hash + "&dn=" +
                            PercentEncode(r.name, true, false) +
                            "&tr=udp%3a%2f%2ftracker.example%3a1337%2fannounce"
                            "&tr=http%3a%2f%2ftracker.example%2fannounce",
                        "1.5 KB"});
      }
    }
    return rows;
  }
};

TEST_F(IndexerRoad, PagesOfAnIndexerListLikeASitesAndAskForTheirOffsets) {
  w.ui.SetText("编辑框_种子关键字", Gbk("中国"));
  w.ui.SetSelectedIndex("组合框1", kFirstIndexer);
  Click(StartSearch);
  EXPECT_EQ(w.ui.Rows(kResults), Expected("中国", {1}));
  Click(StartLoadMore);
  Click(StartLoadMore);
  EXPECT_EQ(w.ui.Rows(kResults), Expected("中国", {1, 2, 3}));
  Click(StartSearch);
  EXPECT_EQ(w.ui.Rows(kResults), Expected("中国", {1}));
  EXPECT_TRUE(w.ui.Messages().empty());

  const std::string query = "/good/api?t=search&q=%E4%B8%AD%E5%9B%BD&limit=20&offset=";
  const std::string key = std::string("&apikey=") + kIndexerKey;
  EXPECT_EQ(w.indexers.Requests(),
            (std::vector<std::string>{query + "0" + key, query + "20" + key, query + "40" + key,
                                      query + "0" + key}));
}

TEST_F(IndexerRoad, AnIndexersErrorIsToldWithItsNameAndWithoutItsKey) {
  const struct {
    int site;
    const char* message;
  } cases[] = {
      {kFirstIndexer + 1, "索引器“Prowlarr”出错：HTTP 401 Unauthorized"},
      {kFirstIndexer + 2, "索引器“Jackett”出错：error 100: Invalid API Key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    w.ui.SetText("编辑框_种子关键字", "x");
    w.ui.SetSelectedIndex("组合框1", c.site);
    const std::size_t before = w.ui.Messages().size();
    Click(StartSearch);
    ASSERT_TRUE(w.ui.WaitUntil([&] { return w.ui.Messages().size() > before; }));
    const testing::ShownMessage shown = w.ui.Messages().back();
    EXPECT_EQ(LocalToUtf8(shown.text), c.message);
    EXPECT_EQ(LocalToUtf8(shown.caption), "信息：");
    EXPECT_TRUE(w.ui.Rows(kResults).empty());
    EXPECT_FALSE(w.ui.Visible("标签5"));
    EXPECT_EQ(w.ui.Text("种子结果标签"), EndOfSearchStatus());
    for (const std::string& call : w.ui.Calls())
      EXPECT_EQ(call.find(kIndexerKey), std::string::npos) << call;
  }
}

TEST_F(IndexerRoad, AnItemPastTheIndexersStartsNothing) {
  w.ui.SetText("编辑框_种子关键字", "x");
  w.ui.SetSelectedIndex("组合框1", kFirstIndexer + 3);
  const std::size_t before = w.indexers.Requests().size();
  SearchWorker(w.program);
  StartLoadMore(w.program);
  ASSERT_TRUE(w.ui.WaitUntil([&] { return w.ui.Visible("标签5"); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(w.indexers.Requests().size(), before);
}

}  // namespace
}  // namespace morvane
