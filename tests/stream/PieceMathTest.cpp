#include "stream/PieceMath.h"

#include <gtest/gtest.h>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/peer_request.hpp>

#include <random>

namespace morvane::stream {
namespace {

constexpr std::int64_t kPiece = 16384;

TEST(PieceMathTest, RangesMapToThePiecesHoldingThem) {
  struct Case {
    const char* what;
    FileSpan file;
    std::int64_t begin, end;
    int first, last;
  } cases[] = {
      {"first byte", {0, 100000, kPiece}, 0, 1, 0, 0},
      {"last byte of a piece", {0, 100000, kPiece}, kPiece - 1, kPiece, 0, 0},
      {"first byte of the next", {0, 100000, kPiece}, kPiece, kPiece + 1, 1, 1},
      {"across a boundary", {0, 100000, kPiece}, kPiece - 1, kPiece + 1, 0, 1},
      {"whole file, short last piece", {0, 100000, kPiece}, 0, 100000, 0, 6},
      {"file after a pad file starts on a piece", {4 * kPiece, 1000, kPiece}, 0, 1000, 4, 4},
      {"file mid-piece (no padding)", {kPiece + 10, 3 * kPiece, kPiece}, 0, 1, 1, 1},
      {"its end runs into a further piece", {kPiece + 10, 3 * kPiece, kPiece}, 0, 3 * kPiece, 1, 4},
      {"range beyond the end is clamped", {0, 100000, kPiece}, 99990, 200000, 6, 6},
      {"a file over 4 GiB", {0, 5ll << 30, 4 << 20}, (5ll << 30) - 1, 5ll << 30, 1279, 1279},
  };
  for (const Case& c : cases) {
    const PieceRange r = PiecesOf(c.file, c.begin, c.end);
    EXPECT_EQ(r.first, c.first) << c.what;
    EXPECT_EQ(r.last, c.last) << c.what;
  }
  EXPECT_GT(PiecesOf({0, 100, kPiece}, 5, 5).first, PiecesOf({0, 100, kPiece}, 5, 5).last)
      << "an empty range holds no piece";
}

TEST(PieceMathTest, AgreesWithLibtorrentOnATorrentWithPadFiles) {
  // a.mkv, padding, movie.mp4 (the one streamed), padding, b.txt: sizes chosen so that
  // no file ends on a piece boundary and the last piece is short.
  lt::file_storage files;
  files.set_piece_length(static_cast<int>(kPiece));
  files.add_file("t/a.mkv", 3 * kPiece + 123);
  files.add_file("t/.pad/1", kPiece - 123, lt::file_storage::flag_pad_file);
  files.add_file("t/movie.mp4", 37 * kPiece + 4321);
  files.add_file("t/.pad/2", kPiece - 4321, lt::file_storage::flag_pad_file);
  files.add_file("t/b.txt", 777);
  files.set_num_pieces(static_cast<int>((files.total_size() + kPiece - 1) / kPiece));
  const lt::file_index_t movie{2};
  const FileSpan span{files.file_offset(movie), files.file_size(movie), kPiece};

  std::mt19937_64 random(7);
  for (int i = 0; i < 2000; ++i) {
    const std::int64_t begin = static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(span.size));
    const std::int64_t end = begin + 1 + static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(span.size - begin));
    const int first = static_cast<int>(files.map_file(movie, begin, 1).piece);
    const int last = static_cast<int>(files.map_file(movie, end - 1, 1).piece);
    const PieceRange r = PiecesOf(span, begin, end);
    ASSERT_EQ(r.first, first) << begin << "-" << end;
    ASSERT_EQ(r.last, last) << begin << "-" << end;
  }
  // The last byte of the torrent lies in its short last piece.
  const FileSpan tail{files.file_offset(lt::file_index_t{4}), 777, kPiece};
  EXPECT_EQ(PiecesOf(tail, 776, 777).last, files.num_pieces() - 1);
}

TEST(PieceMathTest, HeldRangesMergeNeighboursAndClipToTheFile) {
  const FileSpan file{kPiece / 2, 4 * kPiece, kPiece};  // pieces 0..4, half of 0 and 4
  struct Case {
    std::vector<bool> have;
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
  } cases[] = {
      {{false, false, false, false, false}, {}},
      {{true, true, true, true, true}, {{0, 4 * kPiece}}},
      {{true, false, true, true, false}, {{0, kPiece / 2}, {kPiece + kPiece / 2, 3 * kPiece + kPiece / 2}}},
      {{false, false, false, false, true}, {{3 * kPiece + kPiece / 2, 4 * kPiece}}},
      {{true}, {{0, kPiece / 2}}},  // a shorter bitfield holds nothing past its end
  };
  for (const Case& c : cases) EXPECT_EQ(HeldRanges(file, c.have), c.ranges);
}

}  // namespace
}  // namespace morvane::stream
