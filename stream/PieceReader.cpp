#include "stream/PieceReader.h"

#include <algorithm>
#include <cstring>
#include <libtorrent/torrent_handle.hpp>

#include "stream/StreamState.h"

namespace lt = libtorrent;

namespace morvane::stream {

namespace {

// Bytes of the file a reader asks libtorrent to read ahead of what it sends (at least two
// pieces): the disk threads read the next pieces while the reader sends this one.
constexpr std::int64_t kReadAheadBytes = 8 << 20;
constexpr int kMinReadAheadPieces = 2;
// Pieces kept after their readers passed them: a reader taking a piece in small reads (a
// demuxer) finds it again, and one that reads the head and the tail by turns.
constexpr std::size_t kKeptBuffers = 2;
// How often a waiting reader looks whether its client is still there: at least this often,
// and at most this often while pieces keep arriving (each wakes it).
constexpr auto kClientCheck = std::chrono::seconds(1);
constexpr auto kClientRecheck = std::chrono::milliseconds(20);

// Asks libtorrent for the held pieces of [first, last] not asked for yet.
void AskForPieces(Stream& stream, int first, int last) {
  for (int p = first; p <= last; ++p) {
    if (!stream.have[static_cast<std::size_t>(p)] || stream.buffers.contains(p)) continue;
    Stream::PieceBuffer& buffer = stream.buffers[p];
    try {
      stream.handle.read_piece(lt::piece_index_t{p});
    } catch (const std::exception&) {
      buffer.failed = true;  // the torrent is on its way out
    }
  }
}

// Lets go of piece buffers no reader waits for, but the most recently used.
void TrimBuffers(Stream& stream) {
  std::vector<std::pair<std::uint64_t, int>> idle;  // (last use, piece) of arrived buffers
  for (const auto& [piece, buffer] : stream.buffers) {
    if (!buffer.data && !buffer.failed) continue;  // on its way: dropped once it is in
    bool wanted = false;
    for (const auto& [id, next] : stream.reading)
      wanted = wanted || (piece >= next.first && piece <= next.second);
    if (!wanted) idle.emplace_back(buffer.lastUse, piece);
  }
  if (idle.size() <= kKeptBuffers) return;
  std::sort(idle.begin(), idle.end(), std::greater<>());
  for (std::size_t i = kKeptBuffers; i < idle.size(); ++i) stream.buffers.erase(idle[i].second);
}

}  // namespace

struct PieceReader::Held {
  boost::shared_array<char> data;
  int size = 0;
};

PieceReader::PieceReader(std::shared_ptr<Stream> stream, FileSpan span, Kind kind,
                         std::chrono::milliseconds stallTimeout)
    : stream_(std::move(stream)), span_(span), kind_(kind), stallTimeout_(stallTimeout) {
  std::lock_guard lock(stream_->mutex);
  id_ = stream_->nextReader++;
  if (kind_ == Kind::kSide) return;
  stream_->readers[id_] = {PieceAt(span_, 0), kind_ == Kind::kPlayer, false, Clock::now(),
                           span_.size > 0 ? PiecesOf(span_, 0, span_.size) : PieceRange{}};
  // A player of the video that plays came for the address handed out; one of another video
  // (from before a switch) did not.
  if (kind_ == Kind::kPlayer && ReadsPlayingVideo()) stream_->awaitingPlayer = false;
  ++stream_->arrivals;
  UpdateWants(*stream_);
  stream_->changed.notify_all();
}

PieceReader::~PieceReader() {
  std::lock_guard lock(stream_->mutex);
  stream_->reading.erase(id_);
  TrimBuffers(*stream_);
  if (stream_->readers.erase(id_) == 0) return;
  // The deadlines of the window it leaves behind would hold up the other readers.
  try {
    UpdateWants(*stream_);
  } catch (const std::exception&) {  // its torrent removed meanwhile
  }
}

void PieceReader::MoveTo(int piece) {
  const auto reader = stream_->readers.find(id_);
  if (reader == stream_->readers.end() || reader->second.piece == piece) return;
  reader->second.readingOn = piece == reader->second.piece + 1;
  if (!reader->second.readingOn) reader->second.jumped = Clock::now();
  reader->second.piece = piece;
  UpdateWants(*stream_);
}

ReadEnd PieceReader::Hold(int piece, int aheadTo, const std::function<bool()>& gone, Held& held) {
  Stream& stream = *stream_;
  std::unique_lock lock(stream.mutex);
  if (stream.closed) return ReadEnd::kStopped;
  stream.reading[id_] = {piece, aheadTo};
  try {
    MoveTo(piece);
  } catch (const std::exception&) {
    return ReadEnd::kStopped;
  }
  const auto since = Clock::now();
  auto checked = since;
  std::uint64_t arrivalsSeen = stream.arrivals;
  for (;;) {
    AskForPieces(stream, piece, aheadTo);
    const auto it = stream.buffers.find(piece);
    if (it != stream.buffers.end() && (it->second.data || it->second.failed)) {
      if (it->second.failed) {
        stream.buffers.erase(it);
        return ReadEnd::kStopped;
      }
      held.data = it->second.data;
      held.size = it->second.size;
      it->second.lastUse = ++stream.uses;
      return ReadEnd::kDone;
    }
    if (stream.closed) return ReadEnd::kStopped;
    const auto waited = Clock::now() - since;
    if (waited >= stallTimeout_) return ReadEnd::kStalled;
    const auto wait = std::min<Clock::duration>(kClientCheck, stallTimeout_ - waited);
    const bool timedOut = stream.changed.wait_for(lock, wait) == std::cv_status::timeout;
    const auto now = Clock::now();
    if (gone && (timedOut || stream.arrivals != arrivalsSeen || now - checked >= kClientRecheck)) {
      arrivalsSeen = stream.arrivals;
      checked = now;
      lock.unlock();
      const bool left = gone();
      lock.lock();
      if (left) return ReadEnd::kClientGone;
    }
  }
}

ReadEnd PieceReader::Send(std::int64_t begin, std::int64_t end, const Sink& sink,
                          const std::function<bool()>& clientGone) {
  end = std::min(end, span_.size);
  if (begin >= end) return ReadEnd::kDone;
  const int lastPiece = PieceAt(span_, end - 1);
  const int ahead = std::max<int>(kMinReadAheadPieces, static_cast<int>(kReadAheadBytes / span_.pieceLength));
  ReadEnd result = ReadEnd::kDone;
  for (std::int64_t position = begin; position < end && result == ReadEnd::kDone;) {
    const int piece = PieceAt(span_, position);
    Held held;
    result = Hold(piece, std::min(lastPiece, piece + ahead - 1), clientGone, held);
    if (result != ReadEnd::kDone) break;
    const std::int64_t pieceEnd = std::min(end, FileBytesOf(span_, piece).second);
    const std::int64_t inPiece = span_.offset + position - static_cast<std::int64_t>(piece) * span_.pieceLength;
    if (inPiece + (pieceEnd - position) > held.size) return ReadEnd::kStopped;  // libtorrent read less
    if (!sink(held.data.get() + inPiece, static_cast<std::size_t>(pieceEnd - position))) return ReadEnd::kClientGone;
    Served();
    position = pieceEnd;
    std::lock_guard lock(stream_->mutex);
    TrimBuffers(*stream_);
  }
  return result;
}

void PieceReader::Served() {
  if (served_) return;
  served_ = true;
  if (kind_ != Kind::kPlayer) return;
  std::lock_guard lock(stream_->mutex);
  // A player of an episode played before a switch must not start the new one's download
  // ahead of the pieces its own player will ask for first.
  if (!ReadsPlayingVideo()) return;
  try {
    StartBackground(*stream_);
  } catch (const std::exception&) {  // its torrent removed meanwhile
  }
}

bool PieceReader::ReadsPlayingVideo() const {
  return stream_->span.offset == span_.offset && stream_->span.size == span_.size;
}

std::int64_t PieceReader::ReadAt(std::int64_t offset, char* buffer, std::size_t length,
                                 const std::function<bool()>& stop) {
  if (offset < 0) return -1;
  if (offset >= span_.size || length == 0) return 0;
  const int piece = PieceAt(span_, offset);
  // A demuxer reads on from here: the next pieces are read ahead only for a player.
  const int aheadTo = kind_ == Kind::kPlayer
                          ? std::min(PieceAt(span_, span_.size - 1), piece + kMinReadAheadPieces - 1)
                          : piece;
  Held held;
  if (Hold(piece, aheadTo, stop, held) != ReadEnd::kDone) return -1;
  const std::int64_t pieceEnd = FileBytesOf(span_, piece).second;
  const std::int64_t n = std::min<std::int64_t>(static_cast<std::int64_t>(length), pieceEnd - offset);
  const std::int64_t inPiece = span_.offset + offset - static_cast<std::int64_t>(piece) * span_.pieceLength;
  if (inPiece + n > held.size) return -1;
  std::memcpy(buffer, held.data.get() + inPiece, static_cast<std::size_t>(n));
  Served();
  return n;
}

}  // namespace morvane::stream
