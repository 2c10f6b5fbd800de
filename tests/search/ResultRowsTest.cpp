// Rows of the result list from scraped fields, and how a page reaches the list.

#include <gtest/gtest.h>

#include "search/ResultRows.h"
#include "tests/support/RecordingControls.h"

namespace morvane {
namespace {

std::string Hint(const std::string& name) {
  return Gbk("【双击播放】") + name;
}

TEST(ResultRows, OneRowPerHashWithEmptyCellsForMissingFields) {
  struct Case {
    const char* what;
    TextList names, hashes, sizes;
    int rowsBefore;
    std::vector<Row> rows;
  } cases[] = {
      {"numbering continues after earlier rows, hash case kept",
       {"a", "b"},
       {"0123456789abcdef0123456789abcdef01234567", "ABC"},
       {"1 GB", "2 GB"},
       20,
       {{"21", Hint("a"), "magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567", "1 GB"},
        {"22", Hint("b"), "magnet:?xt=urn:btih:ABC", "2 GB"}}},
      {"shorter name and size lists leave cells empty",
       {"a"},
       {"h1", "h2", "h3"},
       {},
       0,
       {{"1", Hint("a"), "magnet:?xt=urn:btih:h1", ""},
        {"2", Hint(""), "magnet:?xt=urn:btih:h2", ""},
        {"3", Hint(""), "magnet:?xt=urn:btih:h3", ""}}},
      {"names and sizes without hashes give no row", {"a", "b"}, {}, {"1 GB"}, 5, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(MakeResultRows(c.names, c.hashes, c.sizes, c.rowsBefore), c.rows);
  }
}

struct Fixture {
  testing::RecordingControls ui;
  Program program{ui, Settings{}};

  // The busy indicators are down and the status says the search is over.
  void ExpectSearchEnded() {
    EXPECT_FALSE(ui.Visible("标签5"));
    EXPECT_FALSE(ui.Visible("图片框7"));
    EXPECT_EQ(ui.Text("种子结果标签"), EndOfSearchStatus());
  }
  int RowAppends() const {
    int appends = 0;
    for (const auto& call : ui.Calls()) appends += call.starts_with("AppendRows ");
    return appends;
  }
};

TEST(ResultRows, PublishedPageListsItsRowsInOneCallAndEndsTheSearch) {
  Fixture f;
  f.program.search.rowCounter = 2;
  ScrapedFields fields{{"n1"}, {"h1", "h2"}, {"s1", "s2"}};
  ASSERT_TRUE(PublishPage(f.program, 0, "the page", fields));

  // One append, so the rows of a page stay together when two pages arrive at once.
  EXPECT_EQ(f.RowAppends(), 1);
  const auto rows = f.ui.Rows("超级列表框1");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0], "3");
  EXPECT_EQ(rows[1][0], "4");
  f.ExpectSearchEnded();
  EXPECT_EQ(f.program.search.rowCounter, 4);
  EXPECT_EQ(f.program.search.currentPage, "the page");
  EXPECT_EQ(f.program.search.hashes, fields.hashes);
  EXPECT_EQ(LocalToUtf8(EndOfSearchStatus()),
            "搜索完毕,鼠标右键选择播放或者下载,点击\"加载更多\"可以显示更多");
}

TEST(ResultRows, PageWithoutResultsStillEndsTheSearch) {
  Fixture f;
  ASSERT_TRUE(PublishPage(f.program, 0, "", {}));
  EXPECT_TRUE(f.ui.Rows("超级列表框1").empty());
  f.ExpectSearchEnded();
  EXPECT_EQ(f.program.search.rowCounter, 0);
}

TEST(ResultRows, PageOfAReplacedSearchIsDropped) {
  Fixture f;
  f.program.search.generation = 3;
  f.program.search.rowCounter = 7;
  f.program.search.currentPage = "newer";
  EXPECT_FALSE(PublishPage(f.program, 2, "older", {{"n"}, {"h"}, {"s"}}));
  EXPECT_TRUE(f.ui.Rows("超级列表框1").empty());
  EXPECT_TRUE(f.ui.Visible("标签5"));
  EXPECT_TRUE(f.ui.Text("种子结果标签").empty());
  EXPECT_EQ(f.program.search.rowCounter, 7);
  EXPECT_EQ(f.program.search.currentPage, "newer");
}

}  // namespace
}  // namespace morvane
