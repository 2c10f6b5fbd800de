#include "stream/StreamState.h"

#include <libtorrent/download_priority.hpp>

#include "stream/PiecePlan.h"

namespace lt = libtorrent;

namespace morvane::stream {

namespace {

// What a piece goes back to when its deadline goes: what PiecePriorities gives it. A piece of
// another video than the one that plays (read from before a switch) is fetched only while
// a reader wants it.
lt::download_priority_t PriorityWithoutDeadline(const Stream& stream, int piece) {
  for (const PieceRange& side : stream.sidePieces)
    if (piece >= side.first && piece <= side.last) return lt::top_priority;
  const bool video = piece >= stream.pieces.first && piece <= stream.pieces.last;
  return stream.background && video ? lt::default_priority : lt::dont_download;
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

void UpdateDeadlines(Stream& stream, bool restart) {
  if (stream.closed || !stream.ready) return;
  std::vector<ReaderWant> wants;
  for (const auto& [id, reader] : stream.readers)
    wants.push_back({reader.piece,
                     reader.player ? WindowPieces(stream.span.pieceLength) : kProbeWindowPieces,
                     reader.file});
  const std::vector<PieceDeadline> planned = PlanDeadlines(stream.pieces, stream.have, wants);
  DeadlineChange change = ChangeDeadlines(stream.deadlined, planned, wants, stream.have);
  if (restart && !change.restart) {
    change.restart = true;
    change.set = planned;
    change.reset.clear();
  }
  if (change.restart) {
    stream.handle.clear_piece_deadlines();
    // A piece whose deadline goes keeps the top priority the deadline gave it.
    std::set<int> kept;
    for (const PieceDeadline& d : planned) kept.insert(d.piece);
    for (const int p : stream.deadlined)
      if (!kept.contains(p))
        stream.handle.piece_priority(lt::piece_index_t{p}, PriorityWithoutDeadline(stream, p));
    stream.deadlined.clear();
  }
  for (const int p : change.reset) {
    stream.handle.reset_piece_deadline(lt::piece_index_t{p});
    stream.handle.piece_priority(lt::piece_index_t{p}, PriorityWithoutDeadline(stream, p));
    stream.deadlined.erase(p);
  }
  for (const PieceDeadline& d : change.set) {
    stream.handle.set_piece_deadline(lt::piece_index_t{d.piece}, d.milliseconds);
    stream.deadlined.insert(d.piece);
  }
}

void UpdatePriorities(Stream& stream) {
  if (stream.closed || !stream.ready) return;
  std::vector<lt::download_priority_t> pieces;
  for (const int p : PiecePriorities(stream.pieceCount, stream.pieces, stream.sidePieces, stream.background))
    pieces.push_back(lt::download_priority_t{static_cast<std::uint8_t>(p)});
  stream.handle.prioritize_pieces(pieces);
  // They replace the top priority of the pieces with deadlines too: those are given again.
  UpdateDeadlines(stream, true);
}

void StartBackground(Stream& stream) {
  if (stream.background || stream.closed || !stream.ready) return;
  stream.background = true;
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
