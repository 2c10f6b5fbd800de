#include "stream/PiecePlan.h"

#include <algorithm>
#include <map>
#include <set>

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

// What a probe that reads on from the piece before gets ahead of it.
constexpr std::int64_t kProbeRunBytes = 256 << 10;

// A swarm is paced below this rate: above it, what a peer holds in its send buffer when a
// player seeks (at most half a second of its rate, and at most about 500 KiB) goes out in
// an eighth of a second.
constexpr std::int64_t kPacedBelow = 4 << 20;
// Paced, a second of the swarm's rate over this is asked for at once: a quarter second.
constexpr std::int64_t kPacedShareOfSecond = 4;

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

int ProbeWindowPieces(bool readingOn, std::int64_t pieceLength) {
  if (!readingOn || pieceLength <= 0) return 1;
  return static_cast<int>(std::clamp<std::int64_t>(kProbeRunBytes / pieceLength, 1, kMaxWindowPieces));
}

int PacedPieces(std::int64_t bytesPerSecond, std::int64_t pieceLength) {
  if (bytesPerSecond <= 0 || bytesPerSecond >= kPacedBelow || pieceLength <= 0) return 0;
  return static_cast<int>(std::max<std::int64_t>(1, bytesPerSecond / kPacedShareOfSecond / pieceLength));
}

bool Focused(const std::vector<ReaderWant>& readers, const std::vector<bool>& have) {
  return std::any_of(readers.begin(), readers.end(),
                     [&](const ReaderWant& reader) { return reader.jumped && !Held(have, reader.piece); });
}

std::vector<PieceWant> PlanPieces(const PieceRange& video, const std::vector<bool>& have,
                                  const std::vector<ReaderWant>& readers, int warmEnd, int paced) {
  std::map<int, PieceWant> wanted;
  for (const ReaderWant& reader : readers) {
    const int from = reader.piece;
    const PieceRange file = FileOf(reader, video);
    if (from < file.first || from > file.last) continue;
    int reach = file.last - from + 1;  // pieces from `from` it may look at
    for (const ReaderWant& other : readers)
      if (other.piece > from) reach = std::min(reach, other.piece - from);
    // Paced: its next missing pieces, a player's however far; otherwise its window, held
    // pieces counted.
    const int missing = paced > 0 ? std::min(reader.window, reader.jumped ? std::max(paced, 2) : paced) : reader.window;
    if (paced <= 0 || !reader.player) reach = std::min(reach, reader.window);
    for (int i = 0, n = 0; i < reach && n < missing; ++i) {
      const int piece = from + i;
      if (Held(have, piece)) continue;
      const int rank = paced > 0 ? n : i;
      ++n;
      const PieceWant mine{piece, rank * kDeadlineStepMs, rank < kOrderedPieces ? kTopPriority - rank : 0};
      const auto [it, fresh] = wanted.emplace(piece, mine);
      if (fresh) continue;
      it->second.milliseconds = std::min(it->second.milliseconds, mine.milliseconds);
      it->second.priority = std::max(it->second.priority, mine.priority);
    }
  }
  // Paced, the video's first missing pieces take the background's place while somebody
  // reads. Between a player's hang-up and its request from where it seeks, nothing: what is
  // asked for then is sent ahead of that request.
  for (int piece = std::max(0, video.first); paced > 0 && !readers.empty() && piece <= video.last &&
                                             static_cast<int>(wanted.size()) < paced;
       ++piece)
    if (!Held(have, piece)) wanted.emplace(piece, PieceWant{piece, 0, kLowestPriority, false});
  if (warmEnd > 0) {
    // The end at the higher of the two priorities, then the start.
    int warm = 0;
    for (int piece = video.last; piece >= std::max(0, video.first) && piece > video.last - warmEnd; --piece)
      if (!Held(have, piece) && wanted.emplace(piece, PieceWant{piece, 0, kLowestPriority + 1, false}).second) ++warm;
    for (int piece = std::max(0, video.first), start = 0; piece <= video.last && (start < 1 || warm < 2); ++piece)
      if (!Held(have, piece) && wanted.emplace(piece, PieceWant{piece, 0, kLowestPriority, false}).second) {
        ++warm;
        ++start;
      }
  }
  std::vector<PieceWant> planned;
  planned.reserve(wanted.size());
  for (const auto& [piece, want] : wanted) planned.push_back(want);
  return planned;
}

PlanChange ChangePlan(const WantsInForce& current, const std::vector<PieceWant>& planned,
                      const std::vector<ReaderWant>& readers, const std::vector<bool>& have) {
  PlanChange change;
  const auto hasDeadline = [&current](int piece) {
    const auto it = current.find(piece);
    return it != current.end() && it->second.deadline;
  };
  bool waiting = false;
  for (const ReaderWant& reader : readers) {
    if (Held(have, reader.piece)) continue;
    waiting = true;
    if (!hasDeadline(reader.piece)) change.restart = true;
  }
  std::set<int> kept;
  for (const PieceWant& want : planned) kept.insert(want.piece);
  bool deadlinesGo = false;
  for (const auto& [piece, want] : current) {
    if (kept.contains(piece) || Held(have, piece)) continue;
    change.drop.push_back(piece);
    deadlinesGo = deadlinesGo || want.deadline;
  }
  if (deadlinesGo && waiting) change.restart = true;
  if (change.restart) {
    change.drop.clear();
    change.add = planned;
    return change;
  }
  for (const PieceWant& want : planned) {
    const auto it = current.find(want.piece);
    if (it == current.end())
      change.add.push_back(want);
    else if (it->second.priority != want.priority || it->second.deadline != want.deadline)
      change.change.push_back(want);
  }
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
