#include "stream/StreamOptions.h"

namespace morvane::stream {

std::vector<std::string> BuiltInTrackers() {
  std::vector<std::string> trackers;
  const std::string list = MORVANE_STREAM_TRACKERS;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    if (end > start) trackers.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return trackers;
}

}  // namespace morvane::stream
