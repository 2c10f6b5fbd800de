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

}  // namespace
}  // namespace morvane
