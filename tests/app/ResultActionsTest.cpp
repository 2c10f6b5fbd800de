#include <gtest/gtest.h>

#include "app/ResultActions.h"
#include "platform/ControlNames.h"
#include "tests/app/AppTestSession.h"

namespace morvane::testing {
namespace {

void FillLists(AppSession& s) {
  s.ui.AppendRows(kResults, {{"1", "n1", "magnet:?xt=urn:btih:R1", "1 MB"},
                             {"2", "n2", "magnet:?xt=urn:btih:R2", "2 MB"}});
  s.ui.AppendRows(kHistory, {{"a"}, {""}, {"c"}});
}

TEST(ResultActions, MenusOnlyForRowsWithText) {
  struct Case {
    const char* name;
    bool filled;
    std::string_view list;
    int selected;
    std::vector<std::string> menus;
  } cases[] = {
      {"result row", true, kResults, 1, {"菜单"}},
      {"no result selected", true, kResults, -1, {}},
      {"empty result list", false, kResults, -1, {}},
      {"history row", true, kHistory, 0, {"小菜单"}},
      {"empty history row", true, kHistory, 1, {}},
      {"selection past the end", true, kHistory, 7, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto& s = NewSession();
    if (c.filled) FillLists(s);
    s.ui.SetSelectedIndex(c.list, c.selected);
    if (c.list == kResults) {
      ShowResultMenu(s.program);
    } else {
      ShowHistoryMenu(s.program);
    }
    EXPECT_EQ(s.ui.Menus(), c.menus);
  }
}

TEST(ResultActions, CopyPutsTheSelectedMagnetLinkOnTheClipboard) {
  struct Case {
    int selected;
    std::string clipboard;
  } cases[] = {{0, "magnet:?xt=urn:btih:R1"}, {1, "magnet:?xt=urn:btih:R2"}, {-1, ""}};
  for (const auto& c : cases) {
    auto& s = NewSession();
    FillLists(s);
    s.ui.SetClipboardText("old");
    s.ui.SetSelectedIndex(kResults, c.selected);
    CopyResultLink(s.program);
    EXPECT_EQ(s.ui.Clipboard(), c.clipboard) << c.selected;
  }
}

TEST(ResultActions, DeleteRemovesOnlyTheSelectedHistoryRow) {
  struct Case {
    int selected;
    std::vector<Row> left;
  } cases[] = {
      {0, {{""}, {"c"}}},
      {2, {{"a"}, {""}}},
      {-1, {{"a"}, {""}, {"c"}}},
  };
  for (const auto& c : cases) {
    auto& s = NewSession();
    FillLists(s);
    s.ui.SetSelectedIndex(kHistory, c.selected);
    DeleteHistoryRow(s.program);
    EXPECT_EQ(s.ui.Rows(kHistory), c.left) << c.selected;
    EXPECT_EQ(s.ui.Rows(kResults).size(), 2u);
  }
}

}  // namespace
}  // namespace morvane::testing
