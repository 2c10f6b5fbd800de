// Where the viewer stopped in each film: kept across a restart, bounded, forgotten at the
// start, never read from a file that is not ours.

#include "stream/WatchPositions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>

#include "tests/support/ScratchFolder.h"

namespace morvane::stream {
namespace {

const std::string kHash = "0123456789abcdef0123456789abcdef01234567";
const std::string kOther = "89abcdef0123456789abcdef0123456789abcdef";

TEST(WatchPositionsTest, PositionsSurviveARestartAndUpdatesKeepWhatTheyLeaveOut) {
  testing::ScratchFolder scratch;
  const std::string file = scratch.Path("state/positions");  // its folder is made
  {
    WatchPositions positions(file);
    EXPECT_FALSE(positions.Get(kHash, 2));
    EXPECT_TRUE(positions.Put(kHash, 2, {754.25, 1420, std::nullopt}));
    EXPECT_TRUE(positions.Put(kHash, 2, {std::nullopt, std::nullopt, 0.30000001}));
    EXPECT_TRUE(positions.Put(kHash, 3, {12, 100, -1.2}));
  }
  WatchPositions again(file);
  const auto two = again.Get(kHash, 2);
  ASSERT_TRUE(two);
  EXPECT_DOUBLE_EQ(two->seconds, 754.25);
  EXPECT_DOUBLE_EQ(two->duration, 1420);
  EXPECT_DOUBLE_EQ(two->subtitleShift, 0.3);
  ASSERT_TRUE(again.Get(kHash, 3));
  EXPECT_DOUBLE_EQ(again.Get(kHash, 3)->subtitleShift, -1.2);
  EXPECT_FALSE(again.Get(kOther, 2));

  // Back at the start: forgotten unless its subtitles stay shifted.
  EXPECT_TRUE(again.Put(kHash, 3, {0, std::nullopt, std::nullopt}));
  ASSERT_TRUE(again.Get(kHash, 3));
  EXPECT_TRUE(again.Put(kHash, 3, {std::nullopt, std::nullopt, 0}));
  EXPECT_FALSE(again.Get(kHash, 3));
  EXPECT_FALSE(WatchPositions(file).Get(kHash, 3));
}

TEST(WatchPositionsTest, ValuesOutOfBoundsChangeNothing) {
  testing::ScratchFolder scratch;
  WatchPositions positions(scratch.Path("positions"));
  ASSERT_TRUE(positions.Put(kHash, 0, {10, 20, 1}));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    const char* what;
    std::string hash;
    int file;
    WatchUpdate update;
  } cases[] = {
      {"negative time", kHash, 0, {-1, std::nullopt, std::nullopt}},
      {"not a number", kHash, 0, {nan, std::nullopt, std::nullopt}},
      {"endless film", kHash, 0, {std::nullopt, inf, std::nullopt}},
      {"shift beyond ten minutes", kHash, 0, {std::nullopt, std::nullopt, 601}},
      {"upper-case hash", "0123456789ABCDEF0123456789ABCDEF01234567", 0, {1, 2, 0}},
      {"short hash", "0123", 0, {1, 2, 0}},
      {"hash with a line break", std::string(39, 'a') + "\n", 0, {1, 2, 0}},
      {"negative file", kHash, -1, {1, 2, 0}},
  };
  for (const auto& c : cases) EXPECT_FALSE(positions.Put(c.hash, c.file, c.update)) << c.what;
  const auto kept = positions.Get(kHash, 0);
  ASSERT_TRUE(kept);
  EXPECT_DOUBLE_EQ(kept->seconds, 10);
  EXPECT_DOUBLE_EQ(kept->duration, 20);
  EXPECT_DOUBLE_EQ(kept->subtitleShift, 1);
}

TEST(WatchPositionsTest, TheLeastRecentlyChangedAreForgottenPastTheCap) {
  testing::ScratchFolder scratch;
  WatchPositions positions(scratch.Path("positions"), 3);
  for (int file = 0; file < 5; ++file) ASSERT_TRUE(positions.Put(kHash, file, {1.0 + file, 0, 0}));
  int kept = 0;
  for (int file = 0; file < 5; ++file) kept += positions.Get(kHash, file).has_value();
  EXPECT_EQ(kept, 3);
  EXPECT_TRUE(positions.Get(kHash, 4)) << "the film just recorded stays";
}

TEST(WatchPositionsTest, LinesThatAreNotOursAreSkipped) {
  testing::ScratchFolder scratch;
  const std::string file = scratch.Write(
      "positions", "# morvane watch positions 1\n" + kHash + " 1 12.5 100 0.5 1700000000\n"
                   "garbage line\n" + kHash + " 2 -5 100 0 1700000000\n" + kHash +
                   " 3 nan 100 0 1700000000\nABC 4 1 1 0 1\n" + kOther + " 5 7 0 0 1700000000\n");
  WatchPositions positions(file);
  ASSERT_TRUE(positions.Get(kHash, 1));
  EXPECT_DOUBLE_EQ(positions.Get(kHash, 1)->seconds, 12.5);
  EXPECT_FALSE(positions.Get(kHash, 2));
  EXPECT_FALSE(positions.Get(kHash, 3));
  EXPECT_TRUE(positions.Get(kOther, 5));
}

}  // namespace
}  // namespace morvane::stream
