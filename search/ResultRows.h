#pragma once
// From scraped fields to rows of 超级列表框1, and the end of a search or load-more.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Program.h"
#include "search/SiteScrapers.h"

namespace morvane {

// The result list's columns: "ID", "种子名称", "种子连接" (hidden), "种子大小".
// One row per hash, numbered from rowsBefore + 1. A page whose name or size list is
// shorter than its hash list leaves those cells empty. The link is the magnet link of the
// hash, or the page's whole link where `links` has one.
std::vector<Row> MakeResultRows(const TextList& names, const TextList& hashes,
                                const TextList& sizes, int rowsBefore,
                                const TextList& links = {});

// The status shown when a page has been listed (GBK).
const std::string& EndOfSearchStatus();

// Lists the rows of the state's current lists below those already listed, hides the busy
// indicators and shows the end-of-search status, also when the page had no result. The
// caller holds program.search.mutex through `held`.
void AppendResultRows(Program& program, const std::unique_lock<std::mutex>& held);

// A fetched page reaches the state and the list: unless a newer search has started since
// `generation` was taken, the page and its fields replace the state's and their rows are
// appended, all in one step under the search lock. Returns false when the page was dropped.
bool PublishPage(Program& program, std::uint64_t generation, std::string page,
                 ScrapedFields fields);

}  // namespace morvane
