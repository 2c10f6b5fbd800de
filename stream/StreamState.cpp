#include "stream/StreamState.h"

#include <libtorrent/download_priority.hpp>

#include "stream/PiecePlan.h"

namespace lt = libtorrent;

namespace morvane::stream {

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
    wants.push_back({reader.piece, reader.player ? WindowPieces(stream.span.pieceLength) : kProbeWindowPieces});
  const std::vector<PieceDeadline> planned = PlanDeadlines(stream.pieces, stream.have, wants);
  DeadlineChange change = ChangeDeadlines(stream.deadlined, planned, wants, stream.have);
  if (restart && !change.restart) {
    change.restart = true;
    change.set = planned;
    change.reset.clear();
  }
  const lt::download_priority_t base = stream.background ? lt::default_priority : lt::dont_download;
  if (change.restart) {
    stream.handle.clear_piece_deadlines();
    // A piece whose deadline goes keeps the top priority the deadline gave it.
    std::set<int> kept;
    for (const PieceDeadline& d : planned) kept.insert(d.piece);
    for (const int p : stream.deadlined)
      if (!kept.contains(p)) stream.handle.piece_priority(lt::piece_index_t{p}, base);
    stream.deadlined.clear();
  }
  for (const int p : change.reset) {
    stream.handle.reset_piece_deadline(lt::piece_index_t{p});
    stream.handle.piece_priority(lt::piece_index_t{p}, base);
    stream.deadlined.erase(p);
  }
  for (const PieceDeadline& d : change.set) {
    stream.handle.set_piece_deadline(lt::piece_index_t{d.piece}, d.milliseconds);
    stream.deadlined.insert(d.piece);
  }
}

void UpdatePriorities(Stream& stream) {
  if (stream.closed || !stream.ready) return;
  const std::vector<int> priorities = FilePriorities(stream.fileCount, stream.file, stream.sideWanted);
  std::vector<lt::download_priority_t> files;
  for (const int p : priorities) files.push_back(lt::download_priority_t{static_cast<std::uint8_t>(p)});
  stream.handle.prioritize_files(files);
  // libtorrent leaves piece priorities alone when the file priorities do not change.
  const lt::download_priority_t video = stream.background ? lt::default_priority : lt::dont_download;
  std::vector<std::pair<lt::piece_index_t, lt::download_priority_t>> pieces;
  for (int p = stream.pieces.first; p <= stream.pieces.last; ++p) pieces.emplace_back(lt::piece_index_t{p}, video);
  stream.handle.prioritize_pieces(pieces);
  // File priorities replace piece priorities, the top priority of the pieces with deadlines
  // too: they are given again.
  UpdateDeadlines(stream, true);
}

void StartBackground(Stream& stream) {
  if (stream.background || stream.closed || !stream.ready) return;
  stream.background = true;
  UpdatePriorities(stream);
}

}  // namespace morvane::stream
