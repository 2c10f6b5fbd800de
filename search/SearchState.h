#pragma once
// The search state: one current page and the fields scraped from it, the row and page
// counters.

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
  int rowCounter = 0;
  int pageCounter = 0;
};

}  // namespace morvane
