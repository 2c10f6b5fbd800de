#include "stream/CacheFolder.h"

#include <gtest/gtest.h>

namespace morvane::stream {
namespace {

TEST(CacheFolderTest, EvictionTakesTheLeastRecentlyPlayedFirstAndNeverWhatIsKept) {
  // Least recently used first, 10 bytes each, under a cap of 40.
  const std::vector<CachedTorrent> cached = {{"old", {}, 10}, {"mid", {}, 10}, {"new", {}, 10}};
  struct Case {
    const char* what;
    std::set<std::string> kept;
    std::uint64_t incoming;
    bool fits;
    std::vector<std::string> evict;
  } cases[] = {
      {"room enough", {}, 10, true, {}},
      {"one must go: the oldest", {}, 15, true, {"old"}},
      {"two must go", {}, 25, true, {"old", "mid"}},
      {"the oldest is kept (played or awaited): the next goes", {"old"}, 15, true, {"mid"}},
      {"what is kept cannot make room: nothing goes", {"old", "mid"}, 25, false, {}},
      {"more than the cap: nothing goes", {}, 41, false, {}},
  };
  for (const Case& c : cases) {
    const Eviction eviction = EvictionOrder(cached, c.kept, c.incoming, 40);
    EXPECT_EQ(eviction.fits, c.fits) << c.what;
    EXPECT_EQ(eviction.evict, c.evict) << c.what;
  }
}

}  // namespace
}  // namespace morvane::stream
