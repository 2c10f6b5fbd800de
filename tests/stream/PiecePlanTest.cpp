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
  return PlanPieces(kVideo, Holding({}), {{from, n}}, 0);
}

TEST(PiecePlanTest, WindowsFollowThePieceSize) {
  EXPECT_EQ(WindowPieces(16 << 10), 16) << "small pieces: capped";
  EXPECT_EQ(WindowPieces(4 << 20), 4);
  EXPECT_EQ(WindowPieces(16 << 20), 4) << "huge pieces: at least a few";
  EXPECT_EQ(ProbeWindowPieces(false, 16 << 10), 1) << "a probe that jumped: the piece it reads";
  EXPECT_EQ(ProbeWindowPieces(true, 16 << 10), 16) << "reading on: the next 256 KiB";
  EXPECT_EQ(ProbeWindowPieces(true, 256 << 10), 1);
}

TEST(PiecePlanTest, ReadersWindowsGetDeadlinesNearestFirstAndTheirFirstPiecesFallingPriorities) {
  struct Case {
    const char* what;
    std::vector<ReaderWant> readers;
    std::vector<bool> have;
    int warmEnd;
    std::vector<PieceWant> planned;
  } cases[] = {
      {"no reader: nothing", {}, Holding({}), 0, {}},
      {"a player's window: the next piece first, then the one after",
       {{20, 4}}, Holding({}), 0, {{20, 0, 7}, {21, 40, 6}, {22, 80, 5}, {23, 120, 0}}},
      {"a probe: the piece it reads", {{10, 1}}, Holding({}), 0, {{10, 0, 7}}},
      {"held pieces are left out, the order kept", {{20, 3}}, Holding({21}), 0, {{20, 0, 7}, {22, 80, 5}}},
      {"a window stops at the end of the video", {{88, 4}}, Holding({}), 0, {{88, 0, 7}, {89, 40, 6}}},
      {"a window stops where a later reader waits; that one keeps its deadlines",
       {{20, 4}, {22, 2}}, Holding({}), 0, {{20, 0, 7}, {21, 40, 6}, {22, 0, 7}, {23, 40, 6}}},
      {"two readers on one piece: the nearer deadline, the higher priority", {{30, 2}, {29, 3}},
       Holding({}), 0, {{29, 0, 7}, {30, 0, 7}, {31, 40, 6}}},
      {"a reader outside the video asks nothing", {{95, 4}}, Holding({}), 0, {}},
      {"kept warm: the end of the video, then the start, without deadlines", {{10, 1}}, Holding({}), 1,
       {{10, 0, 7}, {11, 0, 1, false}, {89, 0, 2, false}}},
      {"small pieces: the end's last few kept warm", {{10, 1}}, Holding({88}), 3,
       {{10, 0, 7}, {11, 0, 1, false}, {87, 0, 2, false}, {89, 0, 2, false}}},
      {"kept warm with the end held: two of the start", {{89, 1}}, Holding({89, 10}), 1,
       {{11, 0, 1, false}, {12, 0, 1, false}}},
      {"kept warm between readers", {}, Holding({10, 89}), 1, {{11, 0, 1, false}, {12, 0, 1, false}}},
      {"nothing missing: nothing to keep warm", {}, [] {
         std::vector<bool> all(100, true);
         return all;
       }(), 1, {}},
      // Another video of the torrent, pieces 90 to 99, read by a player from before a switch.
      {"a reader of another video: its window in its own file", {{97, 4, {90, 99}}}, Holding({}), 0,
       {{97, 0, 7}, {98, 40, 6}, {99, 80, 5}}},
      {"a reader of another video waits at its own file's start", {{89, 4, {90, 99}}}, Holding({}), 0,
       {}},
  };
  for (const Case& c : cases) EXPECT_EQ(PlanPieces(kVideo, c.have, c.readers, c.warmEnd), c.planned) << c.what;
}

TEST(PiecePlanTest, ASlowSwarmIsAskedForAQuarterSecondOfItsRateAtOnce) {
  constexpr std::int64_t kKiB = 1 << 10, kMiB = 1 << 20;
  struct Case {
    std::int64_t rate, pieceLength;
    int paced;
  } cases[] = {
      {0, 256 * kKiB, 0},          // not measured yet: no limit
      {512 * kKiB, 256 * kKiB, 1},  // less than a piece a quarter second: a piece
      {4 * kMiB - 1, 256 * kKiB, 3},
      {4 * kMiB, 256 * kKiB, 0},    // fast: what a peer holds goes out at once
      {1 * kMiB, 16 * kKiB, 16},
      {1 * kMiB, 4 * kMiB, 1},
      {1 * kMiB, 0, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PacedPieces(c.rate, c.pieceLength), c.paced) << c.rate << " B/s, pieces of " << c.pieceLength;
}

TEST(PiecePlanTest, PacedReadersWantTheirNextMissingPiecesAndTheStartMakesUpTheCount) {
  // {piece, window, file, jumped, player}
  const ReaderWant readingOn{20, 16, {}, false, true};
  struct Case {
    const char* what;
    std::vector<ReaderWant> readers;
    std::vector<bool> have;
    int paced;
    std::vector<PieceWant> planned;
  } cases[] = {
      {"a player reading on: its next missing piece, not its window", {readingOn}, Holding({}), 1,
       {{20, 0, 7}}},
      {"ahead of a player, past its window: the first missing piece", {readingOn},
       [] {
         std::vector<bool> have(100, false);
         for (int p = 20; p < 40; ++p) have[static_cast<std::size_t>(p)] = true;
         return have;
       }(),
       2, {{40, 0, 7}, {41, 40, 6}}},
      {"a jumped player: the piece it waits for and the next", {{60, 16, {}, true, true}}, Holding({}), 1,
       {{60, 0, 7}, {61, 40, 6}}},
      {"a probe: no more than its window", {{30, 1}}, Holding({}), 3,
       {{10, 0, 1, false}, {11, 0, 1, false}, {30, 0, 7}}},
      {"a probe on a held piece looks no further", {{30, 1}}, Holding({30}), 1, {{10, 0, 1, false}}},
      {"nobody reads (a player that seeks hangs up, then asks again): nothing", {}, Holding({10}), 2, {}},
      {"a player at the end of the video, the rest missing before it", {{89, 16, {}, false, true}},
       Holding({89}), 1, {{10, 0, 1, false}}},
      {"two players: each its own, cut where the other waits",
       {{20, 16, {}, false, true}, {21, 16, {}, false, true}}, Holding({}), 2,
       {{20, 0, 7}, {21, 0, 7}, {22, 40, 6}}},
  };
  for (const Case& c : cases) EXPECT_EQ(PlanPieces(kVideo, c.have, c.readers, 0, c.paced), c.planned) << c.what;
}

TEST(PiecePlanTest, OnlyAJumpedPlayerWaitingForItsPieceHoldsTheRestBack) {
  struct Case {
    const char* what;
    std::vector<ReaderWant> readers;
    std::vector<bool> have;
    bool focused;
  } cases[] = {
      {"no reader", {}, Holding({}), false},
      {"a player that jumped, its piece missing", {{60, 16, {}, true}}, Holding({}), true},
      {"a player that jumped onto a piece held", {{60, 16, {}, true}}, Holding({60}), false},
      {"a player reading on, waiting", {{21, 16, {}, false}}, Holding({20}), false},
      {"one of two jumped and waits", {{21, 16, {}, false}, {60, 16, {}, true}}, Holding({}), true},
  };
  for (const Case& c : cases) EXPECT_EQ(Focused(c.readers, c.have), c.focused) << c.what;
}

TEST(PiecePlanTest, AJumpOrAReaderLeavingWhileAnotherWaitsRestartsTheDeadlines) {
  struct Case {
    const char* what;
    std::vector<PieceWant> current;
    std::vector<ReaderWant> readers;
    std::vector<bool> have;
    int warmEnd;
    bool restart;
    std::vector<int> drop, add, change;
  } cases[] = {
      {"a new reader: its piece goes ahead of whatever was queued", {}, {{10, 2}}, Holding({}), 0,
       true, {}, {10, 11}, {}},
      {"a reader one piece on: the entering piece, the others one priority up", Window(20, 3), {{21, 3}},
       Holding({20}), 0, false, {}, {23}, {21, 22}},
      {"a seek: the new position's piece was not asked for", Window(20, 3), {{60, 2}}, Holding({}), 0,
       true, {}, {60, 61}, {}},
      {"a reader gone while another waits: its requests must not hold that one up",
       [] {
         auto both = Window(20, 2);
         both.push_back({60, 0, 7});
         return both;
       }(),
       {{60, 1}}, Holding({}), 0, true, {}, {60}, {}},
      {"a reader gone, the other served: its window just goes",
       [] {
         auto both = Window(20, 2);
         both.push_back({60, 0, 7});
         return both;
       }(),
       {{60, 1}}, Holding({60}), 0, false, {20, 21}, {}, {}},
      {"a reader on a held piece waits for nothing", {}, {{20, 1}}, Holding({20}), 0, false, {}, {}, {}},
      {"held pieces are no longer anybody's to drop", Window(20, 2), {}, Holding({20}), 0, false, {21}, {}, {}},
      {"a probe jumping to the piece kept warm: it gets its deadline ahead of the rest",
       PlanPieces(kVideo, Holding({}), {{10, 1}}, 1), {{89, 1}}, Holding({10}), 1, true, {},
       {11, 12, 89}, {}},
      {"a player starting on a piece kept warm: a deadline, no restart",
       PlanPieces(kVideo, Holding({10, 89}), {}, 1), {{10, 2}}, Holding({10, 89}), 0, false, {12}, {},
       {11}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto planned = PlanPieces(kVideo, c.have, c.readers, c.warmEnd);
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
