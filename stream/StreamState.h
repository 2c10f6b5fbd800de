#pragma once
// A torrent being streamed, as the engine and its readers share it. Only the engine and the
// piece reader include this.

#include <boost/shared_array.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <libtorrent/torrent_handle.hpp>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "stream/PieceMath.h"
#include "stream/PiecePlan.h"
#include "stream/TorrentLifecycle.h"
#include "stream/VideoFiles.h"

namespace morvane::stream {

using Clock = std::chrono::steady_clock;

struct Stream {
  std::string hash;
  libtorrent::torrent_handle handle;

  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  bool ready = false;   // metadata known, video chosen
  bool failed = false;  // will never be ready; `reason` says why
  bool closed = false;  // stopped, evicted or shutting down: readers end
  std::string reason;
  SelectOnly selection;  // what the link asked to play, until the metadata is known
  // Once ready: the torrent's files (pad files left out), and where each file (by index, pad
  // files too) begins in the torrent's content.
  std::vector<TorrentFile> files;
  std::vector<std::int64_t> fileOffsets;
  int file = -1;  // the video's index among the torrent's files; another may be chosen
  int fileCount = 0;
  int pieceCount = 0;
  std::string fileName;  // the name the video's address carries
  FileSpan span;
  PieceRange pieces;
  std::vector<bool> have;
  Clock::time_point readySince;
  // The rest of the video is wanted (see PiecePlan.h); before, only the readers' windows.
  bool background = false;
  // A jumped player waits, and the background is held back meanwhile (Focused, PiecePlan.h).
  bool focused = false;
  // Pieces asked for at once while players read from a slow swarm (PacedPieces); 0: unpaced.
  // Paced, the background is held back too.
  int paced = 0;

  struct Reader {
    int piece = 0;        // the piece it needs next
    bool player = true;   // false for the service's own probes, which start nothing
    bool readingOn = false;  // its piece follows the one it read before
    Clock::time_point jumped;  // when it came or last jumped
    // The pieces of the file it reads: the video's, or another video's of the torrent (a
    // player's read of an episode played before a switch).
    PieceRange file;
  };
  std::map<int, Reader> readers;  // by reader id
  int nextReader = 0;
  // Counts the readers that came. A player that seeks hangs up its old answer and opens a
  // new one, and the old reader's window must not hold up the new one's piece, so a reader
  // waiting for a piece looks at its client again when another comes. Before the first,
  // nothing is asked of the swarm, not even the pieces kept warm (PiecePlan.h).
  std::uint64_t arrivals = 0;
  // Resolved and not yet played: the address handed out must still work when the player
  // comes, so the stream is not evicted until a player has come and gone.
  bool awaitingPlayer = false;
  WantsInForce wanted;  // the pieces given deadlines or priorities for readers, not yet held

  // Pieces read through libtorrent, by index, while a reader may want them.
  struct PieceBuffer {
    boost::shared_array<char> data;
    int size = 0;
    bool failed = false;
    std::uint64_t lastUse = 0;
  };
  std::map<int, PieceBuffer> buffers;
  std::map<int, std::pair<int, int>> reading;  // reader id -> the pieces it reads next
  std::uint64_t uses = 0;
  std::vector<int> sideWanted;  // side files asked for, downloaded first
  std::vector<PieceRange> sidePieces;  // their pieces

  // Its part in the lifecycle (TorrentLifecycle.h) as last carried out; when it was last
  // read or resolved; the engine's own waits for its pieces outside the readers (a side
  // file, the whole video), which count as reading; its rates.
  TorrentState lifecycle = TorrentState::kWatching;
  Clock::time_point lastWatched = Clock::now();
  int waits = 0;
  RateMeter rates;
  // Its download rate since the background started, which paces it: before, the readers'
  // few pieces are all there is to bring, and a rate that counted that time would pace a
  // fast swarm.
  RateMeter backgroundRates;
  Clock::time_point backgroundSince;

  // The video's bytes still to come, for the disk and cache accounting.
  std::int64_t MissingBytes() const;
};

}  // namespace morvane::stream

namespace morvane::stream {

// Brings the deadlines and priorities of the stream's pieces in line with its readers (see
// PiecePlan.h); `restart` clears and gives them all anew whatever changed. With the
// stream's mutex held.
void UpdateWants(Stream& stream, bool restart = false);
// Gives the torrent's pieces their priorities (see PiecePriorities), then its deadlines anew.
void UpdatePriorities(Stream& stream);
// Asks for `paced` pieces at once from now on (PacedPieces; 0: no limit).
void Pace(Stream& stream, int paced);
// The rest of the video is wanted from now on (once).
void StartBackground(Stream& stream);
// Carries out `state` (TorrentLifecycle.h): downloading while watched, only uploading
// while idle or seeding, paused once stopped. With the stream's mutex held.
void CarryState(Stream& stream, TorrentState state);
// A reader or a resolution came: it is watched from now, and downloads again at once.
void MarkWatched(Stream& stream);

}  // namespace morvane::stream
