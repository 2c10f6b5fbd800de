#include "search/ResultRows.h"

#include <cassert>

namespace morvane {

namespace {

const std::string& PlayHint() {
  static const std::string hint = Gbk("【双击播放】");
  return hint;
}

const std::string& MagnetPrefix() {
  static const std::string prefix = "magnet:?xt=urn:btih:";
  return prefix;
}

}  // namespace

const std::string& EndOfSearchStatus() {
  static const std::string status =
      Gbk("搜索完毕,鼠标右键选择播放或者下载,点击\"加载更多\"可以显示更多");
  return status;
}

std::vector<Row> MakeResultRows(const TextList& names, const TextList& hashes,
                                const TextList& sizes, int rowsBefore, const TextList& links) {
  std::vector<Row> rows;
  rows.reserve(hashes.size());
  for (std::size_t i = 0; i < hashes.size(); ++i) {
    Row row(4);
    row[0] = std::to_string(rowsBefore + static_cast<int>(i) + 1);
    row[1].reserve(PlayHint().size() + (i < names.size() ? names[i].size() : 0));
    row[1] = PlayHint();
    if (i < names.size()) row[1] += names[i];
    if (i < links.size() && !links[i].empty()) {
      row[2] = links[i];
    } else {
      row[2].reserve(MagnetPrefix().size() + hashes[i].size());
      row[2] = MagnetPrefix();
      row[2] += hashes[i];
    }
    if (i < sizes.size()) row[3] = sizes[i];
    rows.push_back(std::move(row));
  }
  return rows;
}

void AppendResultRows(Program& program, const std::unique_lock<std::mutex>& held) {
  assert(held.owns_lock() && held.mutex() == &program.search.mutex);
  (void)held;
  SearchState& state = program.search;
  std::vector<Row> rows =
      MakeResultRows(state.names, state.hashes, state.sizes, state.rowCounter, state.links);
  state.rowCounter += static_cast<int>(rows.size());
  if (!rows.empty()) program.ui.AppendRows("超级列表框1", rows);
  program.ui.SetVisible("标签5", false);
  program.ui.SetVisible("图片框7", false);
  program.ui.SetText("种子结果标签", EndOfSearchStatus());
}

bool PublishPage(Program& program, std::uint64_t generation, std::string page,
                 ScrapedFields fields) {
  std::unique_lock lock(program.search.mutex);
  SearchState& state = program.search;
  if (state.generation != generation) return false;
  state.currentPage = std::move(page);
  state.names = std::move(fields.names);
  state.hashes = std::move(fields.hashes);
  state.sizes = std::move(fields.sizes);
  state.links = std::move(fields.links);
  AppendResultRows(program, lock);
  return true;
}

}  // namespace morvane
