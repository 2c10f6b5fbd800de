#include "stream/PieceMath.h"

#include <algorithm>

namespace morvane::stream {

int PieceAt(const FileSpan& file, std::int64_t position) {
  return static_cast<int>((file.offset + position) / file.pieceLength);
}

PieceRange PiecesOf(const FileSpan& file, std::int64_t begin, std::int64_t end) {
  if (file.size <= 0 || end <= begin) return {};
  begin = std::clamp<std::int64_t>(begin, 0, file.size - 1);
  end = std::clamp<std::int64_t>(end, begin + 1, file.size);
  return {PieceAt(file, begin), PieceAt(file, end - 1)};
}

std::pair<std::int64_t, std::int64_t> FileBytesOf(const FileSpan& file, int piece) {
  const std::int64_t start = static_cast<std::int64_t>(piece) * file.pieceLength - file.offset;
  const std::int64_t begin = std::clamp<std::int64_t>(start, 0, file.size);
  const std::int64_t end = std::clamp<std::int64_t>(start + file.pieceLength, 0, file.size);
  return {begin, end};
}

std::vector<std::pair<std::int64_t, std::int64_t>> HeldRanges(const FileSpan& file,
                                                              const std::vector<bool>& have) {
  std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
  if (file.size <= 0) return ranges;
  const PieceRange pieces = PiecesOf(file, 0, file.size);
  for (int p = pieces.first; p <= pieces.last; ++p) {
    if (p < 0 || static_cast<std::size_t>(p) >= have.size() || !have[static_cast<std::size_t>(p)])
      continue;
    const auto [begin, end] = FileBytesOf(file, p);
    if (!ranges.empty() && ranges.back().second == begin)
      ranges.back().second = end;
    else
      ranges.emplace_back(begin, end);
  }
  return ranges;
}

}  // namespace morvane::stream
