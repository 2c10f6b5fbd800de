#include "app/ResultActions.h"

#include "platform/ControlNames.h"

namespace morvane {
namespace {

constexpr int kLinkColumn = 2;

// A menu belongs to a row: none for an empty list, no selection, or an empty row.
void ShowMenuForSelectedRow(Program& program, std::string_view list, std::string_view menu) {
  const int row = program.ui.SelectedIndex(list);
  if (program.ui.Cell(list, row, 0).empty()) return;
  program.ui.PopupMenu(menu);
}

}  // namespace

void ShowResultMenu(Program& program) {
  ShowMenuForSelectedRow(program, kResults, "菜单");
}

void ShowHistoryMenu(Program& program) {
  ShowMenuForSelectedRow(program, kHistory, "小菜单");
}

void CopyResultLink(Program& program) {
  const int row = program.ui.SelectedIndex(kResults);
  program.ui.SetClipboardText(program.ui.Cell(kResults, row, kLinkColumn));
}

void DeleteHistoryRow(Program& program) {
  const int row = program.ui.SelectedIndex(kHistory);
  if (row >= 0) program.ui.DeleteRow(kHistory, row);
}

}  // namespace morvane
