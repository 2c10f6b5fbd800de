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

std::vector<int> PiecesOf(const std::vector<PieceDeadline>& deadlines) {
  std::vector<int> pieces;
  for (const PieceDeadline& d : deadlines) pieces.push_back(d.piece);
  return pieces;
}

TEST(PiecePlanTest, WindowsFollowThePieceSize) {
  EXPECT_EQ(WindowPieces(16 << 10), 16) << "small pieces: capped";
  EXPECT_EQ(WindowPieces(1 << 20), 16);
  EXPECT_EQ(WindowPieces(4 << 20), 4);
  EXPECT_EQ(WindowPieces(16 << 20), 4) << "huge pieces: at least a few";
}

TEST(PiecePlanTest, DeadlinesGoToTheReadersWindowsNearestFirst) {
  struct Case {
    const char* what;
    std::vector<ReaderWant> readers;
    std::vector<bool> have;
    std::vector<PieceDeadline> planned;
  } cases[] = {
      {"no reader: nothing", {}, Holding({}), {}},
      {"a player's window", {{20, 3}}, Holding({}), {{20, 0}, {21, 40}, {22, 80}}},
      {"a probe: the piece it reads", {{10, kProbeWindowPieces}}, Holding({}), {{10, 0}}},
      {"held pieces are left out, the order kept", {{20, 3}}, Holding({21}), {{20, 0}, {22, 80}}},
      {"a window stops at the end of the video", {{88, 4}}, Holding({}), {{88, 0}, {89, 40}}},
      {"a window stops where a later reader waits; that one keeps its deadlines",
       {{20, 4}, {22, 2}}, Holding({}), {{20, 0}, {21, 40}, {22, 0}, {23, 40}}},
      {"two readers on one piece: the nearer deadline", {{30, 2}, {30, 1}}, Holding({}),
       {{30, 0}, {31, 40}}},
      {"a reader outside the video asks nothing", {{95, 4}}, Holding({}), {}},
      // Another video of the torrent, pieces 90 to 99, read by a player from before a switch.
      {"a reader of another video: its window in its own file", {{97, 4, {90, 99}}}, Holding({}),
       {{97, 0}, {98, 40}, {99, 80}}},
      {"a reader of another video waits at its own file's start", {{89, 4, {90, 99}}}, Holding({}), {}},
  };
  for (const Case& c : cases) EXPECT_EQ(PlanDeadlines(kVideo, c.have, c.readers), c.planned) << c.what;
}

TEST(PiecePlanTest, OnlyAJumpRestartsTheDeadlines) {
  struct Case {
    const char* what;
    std::set<int> current;
    std::vector<ReaderWant> readers;
    std::vector<bool> have;
    bool restart;
    std::vector<int> reset, set;
  } cases[] = {
      {"a new reader: its piece goes ahead of whatever was queued", {}, {{10, 2}}, Holding({}),
       true, {}, {10, 11}},
      {"a reader one piece on: the entering piece only", {20, 21, 22}, {{21, 3}}, Holding({20}),
       false, {}, {23}},
      {"a seek: the new position's piece was not asked for", {20, 21, 22}, {{60, 2}}, Holding({}),
       true, {}, {60, 61}},
      {"a reader gone: its window loses its deadlines", {20, 21, 60}, {{60, 1}}, Holding({}),
       false, {20, 21}, {}},
      {"a reader on a held piece waits for nothing", {}, {{20, 1}}, Holding({20}), false, {}, {}},
      {"held pieces are no longer anybody's to reset", {20, 21}, {}, Holding({20}), false, {21}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto planned = PlanDeadlines(kVideo, c.have, c.readers);
    const DeadlineChange change = ChangeDeadlines(c.current, planned, c.readers, c.have);
    EXPECT_EQ(change.restart, c.restart);
    EXPECT_EQ(change.reset, c.reset);
    EXPECT_EQ(PiecesOf(change.set), c.set);
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
