#include "update/RandomDraw.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace morvane {
namespace {

TEST(RandomDrawTest, DrawsOnlyLinesOfTheList) {
  struct Case {
    const char* name;
    std::string page;
    std::set<std::string> lines;  // every line that can be drawn, each drawn some time
  };
  const std::vector<Case> cases = {
      {"final line end adds no empty line", "a\r\nb\r\nc\r\n", {"a", "b", "c"}},
      {"empty line in the middle counts", "a\r\n\r\nc", {"a", "", "c"}},
      {"one line without line end", "only", {"only"}},
      {"one empty line", "\r\n", {""}},
      {"line feeds alone do not cut", "a\nb\n", {"a\nb\n"}},
  };
  for (const auto& c : cases) {
    std::set<std::string> drawn;
    for (std::uint32_t seed = 0; seed < 3000; ++seed) {
      const auto line = DrawRandomLine(c.page, seed);
      ASSERT_TRUE(line.has_value()) << c.name;
      drawn.insert(*line);
    }
    EXPECT_EQ(drawn, c.lines) << c.name;
  }
}

TEST(RandomDrawTest, EmptyPageDrawsNothing) {
  for (std::uint32_t seed : {0u, 1u, 0xFFFFFFFFu}) EXPECT_FALSE(DrawRandomLine("", seed));
}

TEST(RandomDrawTest, SameSeedSameLine) {
  const std::string page = "a\r\nb\r\nc\r\nd\r\ne";
  for (std::uint32_t seed = 0; seed < 200; ++seed)
    EXPECT_EQ(DrawRandomLine(page, seed), DrawRandomLine(page, seed));
}

TEST(RandomDrawTest, CounterGrowsByTheSeedingRule) {
  struct Step {
    std::uint32_t tick;
    unsigned counter;    // after the seeding: grown by (tick + counter) mod 256 + 100
    std::uint32_t seed;  // tick + counter
  };
  const std::vector<Step> steps = {
      {0, 100, 100},
      {0, 300, 300},
      {200, 644, 844},          // (200 + 300) mod 256 = 244
      {0xFFFFFFFFu, 875, 874},  // the sums wrap like the tick count
  };
  std::atomic<unsigned> counter{0};
  for (const auto& step : steps) {
    EXPECT_EQ(NextRandomSeed(counter, step.tick), step.seed);
    EXPECT_EQ(counter.load(), step.counter);
  }
}

TEST(RandomDrawTest, SeedingsInOneMillisecondDifferOnEveryThread) {
  constexpr int kThreads = 8;
  constexpr int kSeedings = 2000;
  std::atomic<unsigned> counter{0};
  std::vector<std::vector<std::uint32_t>> seeds(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < kSeedings; ++n) seeds[t].push_back(NextRandomSeed(counter, 12345));
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::uint32_t> distinct;
  for (const auto& s : seeds) distinct.insert(s.begin(), s.end());
  EXPECT_EQ(distinct.size(), std::size_t{kThreads * kSeedings});
}

}  // namespace
}  // namespace morvane
