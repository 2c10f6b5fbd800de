#include "stream/StreamState.h"

#include <libtorrent/download_priority.hpp>
#include <libtorrent/torrent_status.hpp>
#include <set>

#include "stream/PiecePlan.h"

namespace lt = libtorrent;

namespace morvane::stream {

namespace {

// How long a jumped player holds the background back: a piece no peer has must not stop the
// rest of the video until the player gives up.
constexpr auto kFocusLimit = std::chrono::seconds(3);

bool BackgroundRuns(const Stream& stream) { return stream.background && !stream.focused && stream.paced == 0; }

// What a piece goes back to when its deadline goes: what PiecePriorities gives it. A piece of
// another video than the one that plays (read from before a switch) is fetched only while
// a reader wants it.
lt::download_priority_t PriorityWithoutDeadline(const Stream& stream, int piece) {
  for (const PieceRange& side : stream.sidePieces)
    if (piece >= side.first && piece <= side.last) return lt::top_priority;
  const bool video = piece >= stream.pieces.first && piece <= stream.pieces.last;
  return BackgroundRuns(stream) && video ? lt::default_priority : lt::dont_download;
}

// Every piece's priority from PiecePriorities. It replaces the priorities readers' pieces
// were given too: those must be given again.
void SetPiecePriorities(Stream& stream) {
  std::vector<lt::download_priority_t> pieces;
  for (const int p : PiecePriorities(stream.pieceCount, stream.pieces, stream.sidePieces, BackgroundRuns(stream)))
    pieces.push_back(lt::download_priority_t{static_cast<std::uint8_t>(p)});
  stream.handle.prioritize_pieces(pieces);
}

}  // namespace

std::int64_t Stream::MissingBytes() const {
  std::int64_t missing = 0;
  for (int p = pieces.first; p <= pieces.last; ++p) {
    if (static_cast<std::size_t>(p) < have.size() && have[static_cast<std::size_t>(p)]) continue;
    const auto [begin, end] = FileBytesOf(span, p);
    missing += end - begin;
  }
  return missing;
}

void UpdateWants(Stream& stream, bool restart) {
  if (stream.closed || !stream.ready) return;
  std::vector<ReaderWant> readers;
  const auto now = Clock::now();
  for (const auto& [id, reader] : stream.readers)
    readers.push_back({reader.piece,
                       reader.player ? WindowPieces(stream.span.pieceLength)
                                     : ProbeWindowPieces(reader.readingOn, stream.span.pieceLength),
                       reader.file,
                       reader.player && !reader.readingOn && now - reader.jumped < kFocusLimit,
                       reader.player});
  const bool focused = stream.background && Focused(readers, stream.have);
  if (focused != stream.focused) {
    stream.focused = focused;
    SetPiecePriorities(stream);
    restart = true;
  }
  // As many pieces of the end as a probe reading on asks for at once.
  const int warmEnd = !stream.background && stream.arrivals > 0 ? ProbeWindowPieces(true, stream.span.pieceLength) : 0;
  const std::vector<PieceWant> planned = PlanPieces(stream.pieces, stream.have, readers, warmEnd, stream.paced);
  PlanChange change = ChangePlan(stream.wanted, planned, readers, stream.have);
  if (restart && !change.restart) change = {true, {}, planned, {}};
  // A piece with a deadline but no priority of its own: what it has anyway, never 0, which
  // would make libtorrent drop its deadline.
  const auto priorityOf = [&](const PieceWant& want) {
    if (want.priority > 0) return lt::download_priority_t{static_cast<std::uint8_t>(want.priority)};
    const lt::download_priority_t anyway = PriorityWithoutDeadline(stream, want.piece);
    return anyway == lt::dont_download ? lt::low_priority : anyway;
  };
  const auto give = [&](const PieceWant& want) {
    const lt::piece_index_t piece{want.piece};
    const auto was = stream.wanted.find(want.piece);
    if (want.deadline) {
      stream.handle.set_piece_deadline(piece, want.milliseconds);
      // The deadline gave it the top priority.
      if (want.priority != kTopPriority) stream.handle.piece_priority(piece, priorityOf(want));
    } else {
      if (was != stream.wanted.end() && was->second.deadline) stream.handle.reset_piece_deadline(piece);
      stream.handle.piece_priority(piece, priorityOf(want));
    }
    stream.wanted[want.piece] = want;
  };
  if (change.restart) {
    stream.handle.clear_piece_deadlines();
    // A piece whose deadline goes keeps the top priority the deadline gave it.
    std::set<int> kept;
    for (const PieceWant& want : planned) kept.insert(want.piece);
    for (const auto& [piece, want] : stream.wanted)
      if (!kept.contains(piece))
        stream.handle.piece_priority(lt::piece_index_t{piece}, PriorityWithoutDeadline(stream, piece));
    stream.wanted.clear();
  }
  for (const int piece : change.drop) {
    if (stream.wanted[piece].deadline) stream.handle.reset_piece_deadline(lt::piece_index_t{piece});
    stream.handle.piece_priority(lt::piece_index_t{piece}, PriorityWithoutDeadline(stream, piece));
    stream.wanted.erase(piece);
  }
  for (const PieceWant& want : change.add) give(want);
  for (const PieceWant& want : change.change) give(want);
}

void UpdatePriorities(Stream& stream) {
  if (stream.closed || !stream.ready) return;
  SetPiecePriorities(stream);
  UpdateWants(stream, true);
}

void Pace(Stream& stream, int paced) {
  if (stream.closed || !stream.ready || stream.paced == paced) return;
  // Into pacing or out of it: the background stops or starts, and the deadlines given anew
  // withdraw what was asked for beyond the paced pieces.
  stream.paced = paced;
  UpdatePriorities(stream);
}

void StartBackground(Stream& stream) {
  if (stream.background || stream.closed || !stream.ready) return;
  stream.background = true;
  // Its rate is measured from now, so that the pace is set half a second on, not a second.
  stream.backgroundSince = Clock::now();
  stream.backgroundRates = RateMeter();
  const lt::torrent_status status = stream.handle.status({});
  stream.backgroundRates.Add(stream.backgroundSince, status.total_payload_download, status.total_payload_upload);
  UpdatePriorities(stream);
}

void CarryState(Stream& stream, TorrentState state) {
  if (stream.closed || !stream.ready || stream.lifecycle == state) return;
  // Upload mode rather than pausing or priorities at 0 while nobody watches: the torrent
  // keeps its peers and goes on uploading, a reader that comes back has its first piece
  // soonest (see bench_bandwidth), and priorities that readers and side files set meanwhile
  // do not start a download nobody watches. A stopped torrent is paused in upload mode as
  // well: a paused torrent drops its peers, and libtorrent calls a peer it was connected
  // to only a minute later, unless its torrent leaves upload mode.
  if (state == TorrentState::kStopped) {
    stream.handle.set_flags(lt::torrent_flags::upload_mode);
    stream.handle.pause();
  } else {
    if (stream.lifecycle == TorrentState::kStopped) stream.handle.resume();
    if (state == TorrentState::kWatching)
      stream.handle.unset_flags(lt::torrent_flags::upload_mode);
    else
      stream.handle.set_flags(lt::torrent_flags::upload_mode);
  }
  stream.lifecycle = state;
}

void MarkWatched(Stream& stream) {
  stream.lastWatched = Clock::now();
  CarryState(stream, TorrentState::kWatching);
}

}  // namespace morvane::stream
