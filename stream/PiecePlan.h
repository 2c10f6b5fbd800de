#pragma once
// Which pieces a stream asks the swarm for, and how urgently: pure functions of where its
// readers are and what it holds, so that the policy can be read and tested apart from the
// session that carries it out.
//
// A reader's window (the pieces just ahead of it) gets deadlines, nearest first. Until a
// player has been served, nothing else of the video is wanted: requests for other pieces
// sent the moment a peer unchokes would queue ahead of the ones a player waits for. Then the
// rest of the video follows at normal priority ("the background").

#include <cstdint>
#include <set>
#include <vector>

#include "stream/PieceMath.h"

namespace morvane::stream {

// Deadlines of successive pieces of a window, milliseconds apart: they only order them.
inline constexpr int kDeadlineStepMs = 40;

// Pieces from a player's position on that get deadlines. The service's own probes read
// where a demuxer asks and jump (an MP4's index at the end): they get the piece they read,
// so that nothing they will not read is queued at the peers ahead of where they jump.
int WindowPieces(std::int64_t pieceLength);
inline constexpr int kProbeWindowPieces = 1;

struct ReaderWant {
  int piece = 0;   // the piece it needs next
  int window = 1;  // pieces from there on that it wants soon
  // The pieces of the file it reads: the video, or another video of the torrent (read by a
  // player from before a switch); empty: the video's.
  PieceRange file;
};

struct PieceDeadline {
  int piece = 0;
  int milliseconds = 0;
  bool operator==(const PieceDeadline&) const = default;
};

// The deadlines the readers need: each reader's window from the piece it needs next (held
// pieces left out, none past the end of its file), cut where another reader's next piece lies
// ahead of it, so that reader's pieces keep the nearer deadlines it gave them (a player
// reading ahead must not push back the index it reads at the end of the file). In piece
// order; a piece in two windows keeps the nearer deadline. `have` is indexed by piece over
// the whole torrent.
std::vector<PieceDeadline> PlanDeadlines(const PieceRange& video, const std::vector<bool>& have,
                                         const std::vector<ReaderWant>& readers);

struct DeadlineChange {
  // Every deadline is cleared and `set` given anew. libtorrent withdraws the requests queued
  // to peers for other pieces only when its first deadline arrives, so this is how a reader
  // that jumped (a seek, a new reader) gets its piece ahead of what was queued before.
  bool restart = false;
  std::vector<int> reset;            // pieces that lose their deadlines
  std::vector<PieceDeadline> set;    // pieces that get one
};

// From the deadlines in force (`current`) to the `planned` ones. A restart when some reader
// waits for a piece that had no deadline; otherwise only what changed: the pieces that
// enter a window get theirs, those left behind (a reader that moved on or ended) lose them.
DeadlineChange ChangeDeadlines(const std::set<int>& current, const std::vector<PieceDeadline>& planned,
                               const std::vector<ReaderWant>& readers, const std::vector<bool>& have);

// Priorities of a torrent's pieces (0 skipped, 4 normal, 7 first): the pieces of the side
// files asked for (subtitles) first; the video's once the background runs; nothing else.
// Set piece by piece, not by file: libtorrent applies file priorities later, from its disk
// thread, over what was set meanwhile, and keeps what a file of priority 0 gets by deadlines
// aside in a part file, not where a reader reads it.
std::vector<int> PiecePriorities(int pieceCount, const PieceRange& video,
                                 const std::vector<PieceRange>& sideWanted, bool background);

}  // namespace morvane::stream
