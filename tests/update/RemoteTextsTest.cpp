#include "update/RemoteTexts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/HistoryFile.h"
#include "app/Playback.h"
#include "platform/Files.h"
#include "search/ResultRows.h"
#include "search/SearchController.h"
#include "tests/support/LocalServer.h"
#include "tests/support/RecordingControls.h"
#include "tests/support/ScratchFolder.h"
#include "update/Cipher.h"
#include "web/Text.h"

namespace morvane {
namespace {

using testing::LocalServer;
using testing::RecordingControls;

// A local server that answers from a table of paths and logs every request target.
class PageServer {
 public:
  PageServer() {
    server_.server().Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      targets_.push_back(req.target);
      const auto page = pages_.find(req.path);
      if (page == pages_.end()) {
        res.status = 404;
        return;
      }
      res.set_content(page->second, "text/plain");
    });
    server_.Start();
  }
  void Serve(const std::string& path, const std::string& body) {
    std::lock_guard lock(mutex_);
    pages_[path] = body;
  }
  void Forget(const std::string& path) {
    std::lock_guard lock(mutex_);
    pages_.erase(path);
  }
  std::vector<std::string> Targets() {
    std::lock_guard lock(mutex_);
    return targets_;
  }
  std::string host() const { return server_.host(); }
  std::string base() const { return server_.base(); }

 private:
  LocalServer server_;
  std::mutex mutex_;
  std::map<std::string, std::string> pages_;
  std::vector<std::string> targets_;
};

constexpr char kPlayerPrefix[] = "http://player.invalid/play.html?url=";

class RemoteTextsTest : public ::testing::Test {
 protected:
  RemoteTextsTest() {
    resolver_.Serve("/xml.php", "<file>media.mp4</file>");
    settings_.publisherHost = publisher_.host();
    settings_.firstSiteBase = site_.base();
    settings_.secondSiteBase = site_.base();
    settings_.resolutionHost = resolver_.host();
    settings_.playerHost = "player.invalid";
    settings_.liveTvHost = "tv.invalid:8085";
    settings_.runningVersion = "v4.1.7";
    settings_.versionPageStored = EncipherText(publisher_.base() + "/version.html", "");
    settings_.infoPageStored = EncipherText(publisher_.base() + "/info.html", "");
    settings_.keywordListStored = EncipherText(publisher_.base() + "/lists/keywords.txt", "");
  }

  // Waits until the history list holds `count` rows whose link has been written.
  static bool WaitForHistoryRows(RecordingControls& ui, std::size_t count) {
    return ui.WaitUntil([&] {
      const auto rows = ui.Rows("超级列表框3");
      if (rows.size() != count) return false;
      for (const auto& row : rows)
        if (row.empty()) return false;
      return true;
    });
  }

  // The history load that start-up hands the information page, from this test's folder.
  ProgramStep LoadHistoryHere() const {
    return [this](Program& program) { LoadHistoryFrom(program, folder_.path()); };
  }
  std::string HistoryFile() const { return HistoryFilePath(folder_.path()); }

  PageServer publisher_;
  PageServer resolver_;
  PageServer site_;
  Settings settings_;
  // Stands in for the program's directory, where the history file lives: tests that run at
  // the same time each have their own.
  testing::ScratchFolder folder_;
};

// ---- information page ---------------------------------------------------------------------

TEST_F(RemoteTextsTest, InformationPage) {
  ASSERT_TRUE(WriteWholeFile(HistoryFile(), "first\r\nsecond\r\n"));
  const std::string stored = EncipherText(kPlayerPrefix, "");
  const std::string goodPage = "lj" + stored + "lj<p>" + Gbk("最新版本1：") + "v4.2.0</p>";
  struct Case {
    const char* name;
    std::string page;
    bool accepted;
    std::string prefix;
    std::string version;
  };
  const std::vector<Case> cases = {
      {"regular page", goodPage, true, kPlayerPrefix, "v4.2.0"},
      {"closing marker in capitals", "lj" + stored + "LJ" + Gbk("<p>1：v4.2.0</p>"), true,
       kPlayerPrefix, "v4.2.0"},
      {"no second marker", "lj" + stored + Gbk("<p>1：v5.0.0</p>"), true, "", "v5.0.0"},
      {"no version", "lj" + stored + "lj", true, kPlayerPrefix, ""},
      {"half-width colon", "lj" + stored + "lj<p>1:v5.0.0</p>", true, kPlayerPrefix, ""},
      {"leading marker in capitals", "LJ" + stored + "lj" + Gbk("<p>1：v4.2.0</p>"), false, "",
       ""},
      {"marker not at the start", " lj" + stored + "lj" + Gbk("<p>1：v4.2.0</p>"), false, "", ""},
      {"empty page", "", false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    publisher_.Serve("/info.html", c.page);
    RecordingControls ui;
    Program program(ui, settings_);
    LoadInfoPage(program, LoadHistoryHere());

    EXPECT_EQ(program.texts.Get(ProgramText::PlayerPagePrefix), c.prefix);
    EXPECT_EQ(program.texts.Get(ProgramText::InformationPage), c.page);
    // The history file is local: it loads whatever the page held.
    ASSERT_TRUE(WaitForHistoryRows(ui, 2));
    EXPECT_EQ(ui.Rows("超级列表框3"), (std::vector<Row>{{"first"}, {"second"}}));
    if (c.accepted) {
      EXPECT_TRUE(ui.Messages().empty());
      EXPECT_EQ(ui.Text("透明标签6"), c.version);
      continue;
    }
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_EQ(ui.Messages()[0].text, Gbk("网络连接失败"));
    EXPECT_EQ(ui.Messages()[0].caption, Gbk("信息："));
    EXPECT_EQ(ui.Messages()[0].buttons, MessageButtons::Ok);
    EXPECT_EQ(ui.Messages()[0].icon, MessageIcon::None);
    EXPECT_EQ(ui.Text("透明标签6"), "");
  }
}

// With the publisher's server unreachable, one play and "全部保存" keep every line of the
// history file and add the new one on top.
TEST_F(RemoteTextsTest, HistorySurvivesAnUnreachablePublisher) {
  std::string lines;
  for (int i = 1; i <= 50; ++i) lines += "magnet:?xt=urn:btih:" + std::to_string(i) + "\r\n";
  ASSERT_TRUE(WriteWholeFile(HistoryFile(), lines));
  Settings unreachable = settings_;
  unreachable.infoPageStored = EncipherText("http://127.0.0.1:9/info.html", "");
  RecordingControls ui;
  Program program(ui, unreachable);
  LoadInfoPage(program, LoadHistoryHere());
  ASSERT_EQ(ui.Messages().size(), 1u);
  EXPECT_EQ(ui.Messages()[0].text, Gbk("网络连接失败"));
  ASSERT_TRUE(WaitForHistoryRows(ui, 50));

  ui.SetText("编辑框1", "played");
  RecordHistory(program);
  SaveHistoryIn(program, folder_.path());
  EXPECT_EQ(ReadWholeFile(HistoryFile()), "played\r\n" + lines);
}

// ---- random link ----------------------------------------------------------------------------

TEST_F(RemoteTextsTest, RandomLink) {
  struct Case {
    const char* name;
    bool served;
    std::string list;
    std::set<std::string> drawable;  // empty: nothing may happen
  };
  const std::vector<Case> cases = {
      {"three lines and a final line end", true, "a1\r\nb2\r\nc3\r\n", {"a1", "b2", "c3"}},
      {"one empty line goes to playback as it is", true, "\r\n", {""}},
      {"empty list", true, "", {}},
      {"list missing", false, "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.served)
      publisher_.Serve("//adminapi/sjlj.txt", c.list);
    else
      publisher_.Forget("//adminapi/sjlj.txt");
    const auto requestsBefore = publisher_.Targets().size();
    RecordingControls ui;
    Program program(ui, settings_);
    ui.SetText("编辑框1", "typed before");
    PlayRandomLink(program, StartPlayback);

    const auto requests = publisher_.Targets();
    ASSERT_EQ(requests.size(), requestsBefore + 1);
    EXPECT_EQ(requests.back(), "//adminapi/sjlj.txt");
    if (c.drawable.empty()) {
      EXPECT_EQ(ui.Text("编辑框1"), "typed before");
      EXPECT_EQ(ui.Calls().size(), 1u) << "only the test's own SetText";
      continue;
    }
    const std::string drawn = ui.Text("编辑框1");
    EXPECT_EQ(c.drawable.count(drawn), 1u) << drawn;
    EXPECT_EQ(ui.Navigations("超文本浏览框1").front(),
              publisher_.host() + "/adminapi/vexapi/gg/ada.html");
    ASSERT_TRUE(WaitForHistoryRows(ui, 1));
    EXPECT_EQ(ui.Rows("超级列表框3")[0][0], drawn);
  }
}

TEST_F(RemoteTextsTest, RandomLinkClicksDrawAcrossTheList) {
  publisher_.Serve("//adminapi/sjlj.txt", "a1\r\nb2\r\nc3\r\n");
  RecordingControls ui;
  Program program(ui, settings_);
  constexpr int kClicks = 20;
  std::set<std::string> drawn;
  for (int n = 0; n < kClicks; ++n) {
    PlayRandomLink(program, StartPlayback);
    drawn.insert(ui.Text("编辑框1"));
  }
  ASSERT_TRUE(WaitForHistoryRows(ui, kClicks));
  for (const auto& line : drawn) EXPECT_TRUE(line == "a1" || line == "b2" || line == "c3") << line;
  EXPECT_GT(drawn.size(), 1u) << "twenty clicks all drew the same line";
}

// ---- random keyword -------------------------------------------------------------------------

TEST_F(RemoteTextsTest, RandomKeyword) {
  struct Case {
    const char* name;
    std::string list;
    bool draws;
    std::string keyword;  // GBK
    std::string query;    // as the first site receives it
  };
  const std::vector<Case> cases = {
      {"one keyword", Gbk("电影") + "\r\n", true, Gbk("电影"), "/?s=%E7%94%B5%E5%BD%B1&p=1"},
      {"an empty keyword is searched all the same", "\r\n", true, "", "/?s=&p=1"},
      {"empty list", "", false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    publisher_.Serve("/lists/keywords.txt", c.list);
    const auto siteRequestsBefore = site_.Targets().size();
    RecordingControls ui;
    Program program(ui, settings_);
    SearchRandomKeyword(program, SearchWorker);

    EXPECT_EQ(publisher_.Targets().back(), "/lists/keywords.txt");
    if (!c.draws) {
      EXPECT_TRUE(ui.Calls().empty());
      continue;
    }
    EXPECT_EQ(ui.Text("编辑框_种子关键字"), c.keyword);
    ASSERT_TRUE(ui.WaitUntil([&] { return ui.Text("种子结果标签") == EndOfSearchStatus(); }));
    // The search worker lets go of the search state before it ends.
    { std::lock_guard settled(program.search.mutex); }
    EXPECT_TRUE(ui.Messages().empty());
    const auto siteRequests = site_.Targets();
    ASSERT_EQ(siteRequests.size(), siteRequestsBefore + 1);
    EXPECT_EQ(siteRequests.back(), c.query);
  }
}

// ---- deadline -------------------------------------------------------------------------------

// A publisher that sends a byte now and then, never stalling: the window waits on the
// information page and the link list, so each read is given up after about ten seconds
// (the keyword list too), far before a page request's own deadline.
TEST_F(RemoteTextsTest, TricklingPublisherIsGivenUpAfterTenSeconds) {
  std::atomic<bool> stop{false};
  LocalServer trickle;
  trickle.server().Get(".*", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [&](std::size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      sink.write("l", 1);
      return !stop.load();
    });
  });
  trickle.Start();
  settings_.publisherHost = trickle.host();
  settings_.infoPageStored = EncipherText(trickle.base() + "/info.html", "");
  settings_.keywordListStored = EncipherText(trickle.base() + "/lists/keywords.txt", "");
  const struct {
    const char* name;
    std::function<void(Program&)> read;
    bool message;  // "网络连接失败"
  } cases[] = {
      {"information page", [this](Program& p) { LoadInfoPage(p, LoadHistoryHere()); }, true},
      {"link list", [](Program& p) { PlayRandomLink(p, StartPlayback); }, false},
      {"keyword list", [](Program& p) { SearchRandomKeyword(p, SearchWorker); }, false},
  };
  // The three at once, so the test waits for one deadline only.
  std::vector<std::thread> readers;
  std::vector<std::unique_ptr<RecordingControls>> uis;
  std::vector<std::unique_ptr<Program>> programs;
  std::vector<std::chrono::steady_clock::duration> took(std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    uis.push_back(std::make_unique<RecordingControls>());
    programs.push_back(std::make_unique<Program>(*uis.back(), settings_));
    // The program itself, not the list's slot: the next push_back may move the slots.
    Program* program = programs.back().get();
    readers.emplace_back([&, i, program] {
      const auto start = std::chrono::steady_clock::now();
      cases[i].read(*program);
      took[i] = std::chrono::steady_clock::now() - start;
    });
  }
  for (auto& reader : readers) reader.join();
  stop = true;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_GE(took[i], std::chrono::milliseconds(9500));
    EXPECT_LT(took[i], std::chrono::seconds(20));
    if (cases[i].message) {
      ASSERT_EQ(uis[i]->Messages().size(), 1u);
      EXPECT_EQ(LocalToUtf8(uis[i]->Messages()[0].text), "网络连接失败");
    } else {
      EXPECT_TRUE(uis[i]->Calls().empty());
    }
  }
}

// ---- page buttons ---------------------------------------------------------------------------

TEST_F(RemoteTextsTest, CloseButtonsTouchOnlyTheirBrowser) {
  const std::vector<std::string> browsers = {"超文本浏览框1", "高清影库浏览框", "电视直播浏览框"};
  for (const auto& browser : browsers) {
    SCOPED_TRACE(browser);
    RecordingControls ui;
    Program program(ui, settings_);
    ShowPlaceholderPage(program, browser);
    for (const auto& other : browsers) {
      const auto navigations = ui.Navigations(other);
      if (other == browser)
        EXPECT_EQ(navigations,
                  std::vector<std::string>{"http://" + publisher_.host() + "/adminapi/2.html"});
      else
        EXPECT_TRUE(navigations.empty()) << other;
    }
    EXPECT_EQ(ui.Calls().size(), 1u);
  }
}

TEST_F(RemoteTextsTest, ToolbarButtons) {
  const std::string liveTv = "http://tv.invalid:8085/images/img/100/";
  struct Case {
    const char* name;
    std::vector<int> clicks;
    int shownPage;
    std::size_t liveTvLoads;
  };
  const std::vector<Case> cases = {
      {"first three pages", {0, 1, 2}, 2, 0},
      {"live TV twice loads it twice", {3, 3}, 3, 2},
      {"no such button", {1, -1, 4, 100}, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingControls ui;
    Program program(ui, settings_);
    for (int index : c.clicks) SwitchTab(program, index);
    EXPECT_EQ(ui.SelectedIndex("高级选择夹1"), c.shownPage);
    EXPECT_EQ(ui.Navigations("电视直播浏览框"),
              std::vector<std::string>(c.liveTvLoads, liveTv));
  }
}

}  // namespace
}  // namespace morvane
