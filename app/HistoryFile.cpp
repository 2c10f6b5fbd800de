#include "app/HistoryFile.h"

#include <algorithm>
#include <vector>

#include "platform/ControlNames.h"
#include "platform/Files.h"
#include "web/Text.h"

namespace morvane {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
// Far more than any play history grows to (a million long links); a larger file is not
// read, so a stray file of gigabytes cannot take the memory of the program.
constexpr std::size_t kLargestHistoryFile = 64u << 20;

}  // namespace

std::string HistoryFilePath(const std::string& directory) {
  return directory + "/" + kHistoryFileName;
}

void SaveHistory(Program& program) {
  SaveHistoryIn(program, ProgramDirectory());
}

void LoadHistory(Program& program) {
  LoadHistoryFrom(program, ProgramDirectory());
}

void SaveHistoryIn(Program& program, const std::string& directory) {
  std::string text;
  const int rows = program.ui.RowCount(kHistory);
  for (int row = 0; row < rows; ++row) {
    text += program.ui.Cell(kHistory, row, 0);
    text += kLineEnd;
  }
  // A failed save keeps the old file and says nothing.
  if (!WriteWholeFile(HistoryFilePath(directory), text)) return;
  program.ui.ShowMessage(Gbk("保存成功"), Gbk("信息："), MessageButtons::Ok,
                         MessageIcon::Information);
}

void LoadHistoryFrom(Program& program, const std::string& directory) {
  std::string text = ReadWholeFile(HistoryFilePath(directory), kLargestHistoryFile).value_or("");
  text.resize(std::min(text.size(), text.find('\0')));
  std::vector<Row> rows;
  for (auto& link : SplitText(text, kLineEnd)) rows.push_back(Row{std::move(link)});
  // After the rows already listed: a link played before the load finished stays on top.
  if (!rows.empty()) program.ui.AppendRows(kHistory, rows);
}

}  // namespace morvane
