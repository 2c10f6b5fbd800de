#pragma once
// Which pieces a stream asks the swarm for, and how urgently: pure functions of where its
// readers are and what it holds, so that the policy can be read and tested apart from the
// session that carries it out.
//
// A reader's window (the pieces just ahead of it) gets deadlines, nearest first, and its
// first pieces falling priorities. Until a player has been served, nothing else of the video
// is wanted but one piece, to keep the connections to the peers going: requests for other
// pieces sent the moment a peer unchokes would queue ahead of the ones a player waits for.
// Then the rest of the video follows at normal priority ("the background").

#include <cstdint>
#include <map>
#include <vector>

#include "stream/PieceMath.h"

namespace morvane::stream {

// Deadlines of successive pieces of a window, milliseconds apart: they only order them.
inline constexpr int kDeadlineStepMs = 40;

// libtorrent's piece priorities: the lowest that is downloaded, and the top one, which a
// deadline gives a piece.
inline constexpr int kLowestPriority = 1;
inline constexpr int kTopPriority = 7;
// libtorrent fills a peer's free request slots from the highest piece priority down, at
// random within one, and asks for pieces by their deadlines only on its own rounds: a
// window whose pieces all had the top priority would often get a piece further on before
// the one its reader waits for. So the first pieces of a window get falling priorities,
// the reader's next piece the top one; the rest keep the priority they have anyway.
inline constexpr int kOrderedPieces = 3;

// Pieces from a player's position on that get deadlines.
int WindowPieces(std::int64_t pieceLength);
// The same for the service's own probes: the piece a demuxer reads, and, once it reads on
// from the piece before (an index that spans pieces), the pieces of the next 256 KiB, so
// that a torrent of small pieces is not read one round trip a piece.
int ProbeWindowPieces(bool readingOn, std::int64_t pieceLength);

struct ReaderWant {
  int piece = 0;   // the piece it needs next
  // Pieces from there on that it wants soon: a player's window, or a probe's, which reads
  // where a demuxer asks and jumps (an MP4's index at the end), so that nothing it will not
  // read is queued at the peers ahead of where it jumps.
  int window = 1;
  // The pieces of the file it reads: the video, or another video of the torrent (read by a
  // player from before a switch); empty: the video's.
  PieceRange file;
  // A player that has just come or jumped (a seek), not one reading on from the piece before.
  bool jumped = false;
  // A player, which reads on: paced, its next missing pieces are looked for past its window.
  bool player = false;
};

// Whether some jumped player waits for its piece. Until it is in, the rest of the video
// waits (PiecePriorities): requests queued to a peer are cancelled when the jump's first
// deadline is set, but libtorrent goes on to finish the pieces it had begun (the old
// window's, the background's) between the jump's, each at the swarm's pace.
bool Focused(const std::vector<ReaderWant>& readers, const std::vector<bool>& have);

struct PieceWant {
  int piece = 0;
  int milliseconds = 0;  // its deadline, from now
  int priority = 0;      // 0: the priority the piece has anyway
  bool deadline = true;  // false: the priority alone
  bool operator==(const PieceWant&) const = default;
};

// The pieces the readers need: each reader's window from the piece it needs next (held
// pieces left out, none past the end of its file), cut where another reader's next piece
// lies ahead of it, so that reader's pieces keep the nearer deadlines it gave them (a player
// reading ahead must not push back the index it reads at the end of the file). A piece in
// two windows keeps the nearer deadline and the higher priority. With `warmEnd` pieces (readers came, the background
// has not started), also pieces neither held nor in a window, at the lowest priorities and
// without deadlines: the video's last `warmEnd` pieces while they are missing, where most
// demuxers look after the head (an MP4's index, Matroska's tags), and the first missing
// from the start, where a player begins. A swarm asked for nothing is told so between two
// reads of a probe, its seeders choke the connection, and libtorrent starts it again with
// a request queue of two blocks that grows with the measured rate over seconds: a player
// coming a moment later would be served at a fraction of the swarm's speed. At least two,
// so that one is still wanted when the other comes in. In piece order; `have` is indexed
// by piece over the whole torrent.
//
// `paced` (PacedPieces) limits what is asked of a slow swarm while a player reads: each
// reader wants at most its next `paced` missing pieces (a jumped player at least two: the
// piece it waits for and the next), a player's wherever they lie ahead of it, and the
// video's first missing pieces make up the count when the readers want fewer, in place of
// the background; without readers, nothing is wanted.
std::vector<PieceWant> PlanPieces(const PieceRange& video, const std::vector<bool>& have,
                                  const std::vector<ReaderWant>& readers, int warmEnd, int paced = 0);

// How many missing pieces a stream asks a swarm that brings it `bytesPerSecond` for at once
// while a player reads; 0: no limit (a fast swarm, or a rate not yet measured). What a
// peer has been asked for it sends before a seek's piece, however the request is withdrawn
// (a seeder reads up to half a second of requests ahead into its send buffer): in a slow
// swarm a quarter of a second of the swarm's rate is asked for at once, at least a piece.
int PacedPieces(std::int64_t bytesPerSecond, std::int64_t pieceLength);

// The pieces wanted so far, by index: what they were given.
using WantsInForce = std::map<int, PieceWant>;

struct PlanChange {
  // Every deadline is cleared and `add` given anew. libtorrent withdraws the requests queued
  // to peers for other pieces only when its first deadline arrives, so this is how a reader
  // that jumped (a seek, a new reader) gets its piece ahead of what was queued before, and
  // how the requests of a reader that left (the answer a seeking player hung up) stop
  // holding up one that waits.
  bool restart = false;
  std::vector<int> drop;            // pieces no longer wanted
  std::vector<PieceWant> add;       // pieces newly wanted
  std::vector<PieceWant> change;    // pieces still wanted, otherwise
};

// From the pieces wanted (`current`) to the `planned` ones. A restart when some reader
// waits for a piece without a deadline, or when deadlines go while some reader waits for a
// piece not yet held; otherwise only what changed: the pieces that enter a window get
// theirs, those left behind (a reader that moved on or ended) lose them.
PlanChange ChangePlan(const WantsInForce& current, const std::vector<PieceWant>& planned,
                      const std::vector<ReaderWant>& readers, const std::vector<bool>& have);

// Priorities of a torrent's pieces (0 skipped, 4 normal, 7 first): the pieces of the side
// files asked for (subtitles) first; the video's once the background runs; nothing else.
// Set piece by piece, not by file: libtorrent applies file priorities later, from its disk
// thread, over what was set meanwhile, and keeps what a file of priority 0 gets by deadlines
// aside in a part file, not where a reader reads it.
std::vector<int> PiecePriorities(int pieceCount, const PieceRange& video,
                                 const std::vector<PieceRange>& sideWanted, bool background);

}  // namespace morvane::stream
