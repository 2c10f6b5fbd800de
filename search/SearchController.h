#pragma once
// The keyword search and "加载更多": from a click to rows in 超级列表框1.

#include <cstdint>
#include <string>

#include "platform/Program.h"

namespace morvane {

void StartSearch(Program& program);    // window thread: checks the keyword, starts SearchWorker
void SearchWorker(Program& program);   // worker: clears the list, shows the busy indicators
void StartLoadMore(Program& program);  // window thread: starts LoadMoreWorker

// The workers behind them. `generation` is the search whose list the page belongs to
// (SearchState).
void FirstSiteSearch(Program& program, std::uint64_t generation);   // page 1, first site
void SecondSiteSearch(Program& program, std::uint64_t generation);  // page 1, second site
void SecondSiteParse(Program& program, std::uint64_t generation, std::string page);
// Page 1 of one of the user's indexers (the site box's items after the two sites).
void IndexerSearch(Program& program, std::uint64_t generation, const IndexerSource& indexer);
void LoadMoreWorker(Program& program);  // shows the busy indicators, picks the site
void FirstSiteMore(Program& program);   // the next page of the first site
void SecondSiteMore(Program& program);  // the next page of the second site
void IndexerMore(Program& program, const IndexerSource& indexer);  // the next page of an indexer

}  // namespace morvane
