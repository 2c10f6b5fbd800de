#pragma once
// A reader of a stream's video: an HTTP response or a media input holds one for as long as
// it reads. While it lives, the pieces just ahead of where it reads have deadlines; when it
// moves (a seek), the pieces it no longer needs lose theirs and the new position's piece is
// asked for at once. Bytes come through libtorrent (read_piece), never from the files: its
// disk back end may still hold a finished piece's blocks in memory, and the file would give
// stale bytes. A reader asks for the next held pieces ahead, so the disk threads read while
// it sends.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "stream/PieceMath.h"

namespace morvane::stream {

struct Stream;

enum class ReadEnd { kDone, kClientGone, kStalled, kStopped };

// Passes on `size` bytes; false when they cannot go (the client stopped taking them).
using Sink = std::function<bool(const char* data, std::size_t size)>;

class PieceReader {
 public:
  enum class Kind {
    kPlayer,  // a player or a converter: the pieces ahead of it are wanted, and its first
              // bytes start the download of the rest of the video
    kProbe,   // the service's own look at the file: only the pieces it reads
    kSide,    // a side file (subtitles), wanted whole by its pieces' priority: no deadlines
  };
  // Made by TorrentEngine: reads `span` of the stream's torrent.
  PieceReader(std::shared_ptr<Stream> stream, FileSpan span, Kind kind,
              std::chrono::milliseconds stallTimeout);
  ~PieceReader();
  PieceReader(const PieceReader&) = delete;
  PieceReader& operator=(const PieceReader&) = delete;

  std::int64_t size() const { return span_.size; }

  // Hands bytes [begin, end) to `sink` as their pieces arrive. `clientGone` is asked while
  // waiting, so a reader whose client hung up does not wait for nothing.
  ReadEnd Send(std::int64_t begin, std::int64_t end, const Sink& sink,
               const std::function<bool()>& clientGone);

  // Copies up to `length` bytes from `offset` into `buffer` once their piece is in: the
  // bytes copied (at most to the end of that piece; 0 at the end of the file), or -1 when
  // the stream ended, no byte came within the stall time-out or `stop` said so.
  std::int64_t ReadAt(std::int64_t offset, char* buffer, std::size_t length,
                      const std::function<bool()>& stop);

 private:
  struct Held;
  // Waits until piece `piece` is read from libtorrent, asking for the held pieces up to
  // `aheadTo` meanwhile.
  ReadEnd Hold(int piece, int aheadTo, const std::function<bool()>& gone, Held& held);
  void MoveTo(int piece);  // with the stream's mutex held
  // Bytes went out: a player's first start the download of the rest of the video.
  void Served();
  // Whether it reads the video that plays, not another chosen before it. With the stream's
  // mutex held.
  bool ReadsPlayingVideo() const;

  std::shared_ptr<Stream> stream_;
  const FileSpan span_;
  const Kind kind_;
  const std::chrono::milliseconds stallTimeout_;
  int id_ = -1;
  bool served_ = false;  // bytes went out once
};

}  // namespace morvane::stream
