#include "stream/PiecePlan.h"

#include <algorithm>
#include <map>

namespace morvane::stream {

namespace {

// Bytes of the video ahead of each reader whose pieces get deadlines: tens of seconds of a
// typical stream, small enough that the rest of the swarm's bandwidth still flows in order.
constexpr std::int64_t kWindowBytes = 16 << 20;
constexpr int kMinWindowPieces = 4;
// A deadline raises a piece to the top priority, and libtorrent requests the top-priority
// pieces it cannot fetch by their deadlines in random order: with small pieces, a window of
// hundreds of them sent the swarm a queue of random requests ahead of the piece the player
// waited for (measured at 1 MiB/s with 16 KiB pieces: 3.4-6.1 s to the first frame, 0.4-1.7 s
// with this cap).
constexpr int kMaxWindowPieces = 16;

PieceRange FileOf(const ReaderWant& reader, const PieceRange& video) {
  return reader.file.last >= reader.file.first ? reader.file : video;
}

bool Held(const std::vector<bool>& have, int piece) {
  return piece >= 0 && static_cast<std::size_t>(piece) < have.size() && have[static_cast<std::size_t>(piece)];
}

}  // namespace

int WindowPieces(std::int64_t pieceLength) {
  if (pieceLength <= 0) return kMinWindowPieces;
  return static_cast<int>(std::clamp<std::int64_t>(kWindowBytes / pieceLength, kMinWindowPieces, kMaxWindowPieces));
}

std::vector<PieceDeadline> PlanDeadlines(const PieceRange& video, const std::vector<bool>& have,
                                         const std::vector<ReaderWant>& readers) {
  std::map<int, int> nearest;  // piece -> milliseconds
  for (const ReaderWant& reader : readers) {
    const int from = reader.piece;
    const PieceRange file = FileOf(reader, video);
    if (from < file.first || from > file.last) continue;
    int window = reader.window;
    for (const ReaderWant& other : readers)
      if (other.piece > from) window = std::min(window, other.piece - from);
    for (int i = 0; i < window && from + i <= file.last; ++i) {
      const int piece = from + i;
      if (Held(have, piece)) continue;
      const int ms = i * kDeadlineStepMs;
      const auto [it, fresh] = nearest.emplace(piece, ms);
      if (!fresh) it->second = std::min(it->second, ms);
    }
  }
  std::vector<PieceDeadline> planned;
  planned.reserve(nearest.size());
  for (const auto& [piece, ms] : nearest) planned.push_back({piece, ms});
  return planned;
}

DeadlineChange ChangeDeadlines(const std::set<int>& current, const std::vector<PieceDeadline>& planned,
                               const std::vector<ReaderWant>& readers, const std::vector<bool>& have) {
  DeadlineChange change;
  for (const ReaderWant& reader : readers)
    if (!Held(have, reader.piece) && !current.contains(reader.piece)) change.restart = true;
  std::set<int> wanted;
  for (const PieceDeadline& d : planned) wanted.insert(d.piece);
  if (change.restart) {
    change.set = planned;
    return change;
  }
  for (const int piece : current)
    if (!wanted.contains(piece) && !Held(have, piece)) change.reset.push_back(piece);
  for (const PieceDeadline& d : planned)
    if (!current.contains(d.piece)) change.set.push_back(d);
  return change;
}

std::vector<int> PiecePriorities(int pieceCount, const PieceRange& video,
                                 const std::vector<PieceRange>& sideWanted, bool background) {
  std::vector<int> priorities(static_cast<std::size_t>(std::max(0, pieceCount)), 0);
  const auto raise = [&](const PieceRange& range, int priority) {
    for (int p = std::max(0, range.first); p <= range.last && p < pieceCount; ++p)
      priorities[static_cast<std::size_t>(p)] = std::max(priorities[static_cast<std::size_t>(p)], priority);
  };
  if (background) raise(video, 4);
  for (const PieceRange& side : sideWanted) raise(side, 7);
  return priorities;
}

}  // namespace morvane::stream
