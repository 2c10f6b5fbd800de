#pragma once
// The search state: one current page and the fields scraped from it, the row and page
// counters.
//
// A search and a load-more (or two searches) may run at the same time. Each worker scrapes
// into lists of its own and then, holding `mutex`, stores its page and lists here and
// appends its rows to 超级列表框1, so that the rows of one page stay together and the row
// numbers stay consecutive. A new search clears the list under the same lock and starts a
// new `generation`: a page fetched for an earlier generation is dropped when it arrives,
// so rows of a search the user has replaced never show up in the new list.
//
// Holders of `mutex` call into the window port, which waits for the window thread: never
// take it on the window thread.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace morvane {

struct SearchState {
  std::mutex mutex;
  std::string currentPage;
  std::vector<std::string> names;
  std::vector<std::string> hashes;
  std::vector<std::string> sizes;
  // An indexer's whole magnet links, one for each hash; empty after a site's page.
  std::vector<std::string> links;
  int rowCounter = 0;
  int pageCounter = 0;
  std::uint64_t generation = 0;  // bumped by every new search when it clears the list
};

}  // namespace morvane
