#include "stream/PiecePlan.h"

#include <gtest/gtest.h>

namespace morvane::stream {
namespace {

// Pieces [0, 99] of a torrent whose video holds pieces 10 to 89.
constexpr PieceRange kVideo{10, 89};

std::vector<bool> Holding(std::initializer_list<int> pieces) {
  std::vector<bool> have(100, false);
  for (const int p : pieces) have[static_cast<std::size_t>(p)] = true;
  return have;
}

std::vector<int> PiecesOf(const std::vector<PieceWant>& wants) {
  std::vector<int> pieces;
  for (const PieceWant& want : wants) pieces.push_back(want.piece);
  return pieces;
}

WantsInForce InForce(const std::vector<PieceWant>& wants) {
  WantsInForce current;
  for (const PieceWant& want : wants) current[want.piece] = want;
  return current;
}

// A player's window of `n` pieces from `from`, as planned for it alone with nothing held.
std::vector<PieceWant> Window(int from, int n) {
  return PlanPieces(kVideo, Holding({}), {{from, n}}, false);
}

TEST(PiecePlanTest, WindowsFollowThePieceSize) {
  EXPECT_EQ(WindowPieces(16 << 10), 16) << "small pieces: capped";
  EXPECT_EQ(WindowPieces(1 << 20), 16);
  EXPECT_EQ(WindowPieces(4 << 20), 4);
  EXPECT_EQ(WindowPieces(16 << 20), 4) << "huge pieces: at least a few";
}

TEST(PiecePlanTest, ReadersWindowsGetDeadlinesNearestFirstAndTheirFirstPiecesFallingPriorities) {
  struct Case {
    const char* what;
    std::vector<ReaderWant> readers;
    std::vector<bool> have;
    bool warm;
    std::vector<PieceWant> planned;
  } cases[] = {
      {"no reader: nothing", {}, Holding({}), false, {}},
      {"a player's window: the next piece first, then the one after",
       {{20, 4}}, Holding({}), false, {{20, 0, 7}, {21, 40, 6}, {22, 80, 5}, {23, 120, 0}}},
      {"a probe: the piece it reads", {{10, 1}}, Holding({}), false, {{10, 0, 7}}},
      {"held pieces are left out, the order kept", {{20, 3}}, Holding({21}), false, {{20, 0, 7}, {22, 80, 5}}},
      {"a window stops at the end of the video", {{88, 4}}, Holding({}), false, {{88, 0, 7}, {89, 40, 6}}},
      {"a window stops where a later reader waits; that one keeps its deadlines",
       {{20, 4}, {22, 2}}, Holding({}), false, {{20, 0, 7}, {21, 40, 6}, {22, 0, 7}, {23, 40, 6}}},
      {"two readers on one piece: the nearer deadline, the higher priority", {{30, 2}, {29, 3}},
       Holding({}), false, {{29, 0, 7}, {30, 0, 7}, {31, 40, 6}}},
      {"a reader outside the video asks nothing", {{95, 4}}, Holding({}), false, {}},
      {"kept warm: the end of the video, then the start, without deadlines", {{10, 1}}, Holding({}), true,
       {{10, 0, 7}, {11, 0, 1, false}, {89, 0, 2, false}}},
      {"kept warm with the end held: the first two missing", {{89, 1}}, Holding({89, 10}), true,
       {{11, 0, 2, false}, {12, 0, 1, false}}},
      {"kept warm between readers", {}, Holding({10, 89}), true, {{11, 0, 2, false}, {12, 0, 1, false}}},
      {"nothing missing: nothing to keep warm", {}, [] {
         std::vector<bool> all(100, true);
         return all;
       }(), true, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(PlanPieces(kVideo, c.have, c.readers, c.warm), c.planned) << c.what;
}

TEST(PiecePlanTest, AJumpOrAReaderLeavingWhileAnotherWaitsRestartsTheDeadlines) {
  struct Case {
    const char* what;
    std::vector<PieceWant> current;
    std::vector<ReaderWant> readers;
    std::vector<bool> have;
    bool warm;
    bool restart;
    std::vector<int> drop, add, change;
  } cases[] = {
      {"a new reader: its piece goes ahead of whatever was queued", {}, {{10, 2}}, Holding({}), false,
       true, {}, {10, 11}, {}},
      {"a reader one piece on: the entering piece, the others one priority up", Window(20, 3), {{21, 3}},
       Holding({20}), false, false, {}, {23}, {21, 22}},
      {"a seek: the new position's piece was not asked for", Window(20, 3), {{60, 2}}, Holding({}), false,
       true, {}, {60, 61}, {}},
      {"a reader gone while another waits: its requests must not hold that one up",
       [] {
         auto both = Window(20, 2);
         both.push_back({60, 0, 7});
         return both;
       }(),
       {{60, 1}}, Holding({}), false, true, {}, {60}, {}},
      {"a reader gone, the other served: its window just goes",
       [] {
         auto both = Window(20, 2);
         both.push_back({60, 0, 7});
         return both;
       }(),
       {{60, 1}}, Holding({60}), false, false, {20, 21}, {}, {}},
      {"a reader on a held piece waits for nothing", {}, {{20, 1}}, Holding({20}), false, false, {}, {}, {}},
      {"held pieces are no longer anybody's to drop", Window(20, 2), {}, Holding({20}), false, false, {21}, {}, {}},
      {"a probe jumping to the piece kept warm: it gets its deadline ahead of the rest",
       PlanPieces(kVideo, Holding({}), {{10, 1}}, true), {{89, 1}}, Holding({10}), true, true, {},
       {11, 12, 89}, {}},
      {"a player starting on a piece kept warm: a deadline, no restart",
       PlanPieces(kVideo, Holding({10, 89}), {}, true), {{10, 2}}, Holding({10, 89}), false, false, {12}, {},
       {11}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto planned = PlanPieces(kVideo, c.have, c.readers, c.warm);
    const PlanChange change = ChangePlan(InForce(c.current), planned, c.readers, c.have);
    EXPECT_EQ(change.restart, c.restart);
    EXPECT_EQ(change.drop, c.drop);
    EXPECT_EQ(PiecesOf(change.add), c.add);
    EXPECT_EQ(PiecesOf(change.change), c.change);
  }
}

TEST(PiecePlanTest, PiecesAreWantedOnceAPlayerCameOrForTheSideFilesAskedFor) {
  // Pieces 0-1 a subtitle, 2-6 the video, 7 a file nobody wants; piece 2 holds the subtitle's end.
  struct Case {
    const char* what;
    std::vector<PieceRange> sides;
    bool background;
    std::vector<int> priorities;
  } cases[] = {
      {"before a player: nothing", {}, false, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"a subtitle asked for comes first all the same", {{0, 2}}, false, {7, 7, 7, 0, 0, 0, 0, 0}},
      {"then the video at normal priority, a shared piece at the higher", {{0, 2}}, true,
       {7, 7, 7, 4, 4, 4, 4, 0}},
      {"ranges beyond the torrent change nothing", {{7, 12}}, false, {0, 0, 0, 0, 0, 0, 0, 7}},
  };
  for (const Case& c : cases) EXPECT_EQ(PiecePriorities(8, {2, 6}, c.sides, c.background), c.priorities) << c.what;
}

}  // namespace
}  // namespace morvane::stream
