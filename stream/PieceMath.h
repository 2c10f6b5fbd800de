#pragma once
// Where a file's bytes lie among the torrent's pieces. A file starts at `offset` bytes into
// the torrent's concatenated content; pad files before it shift that offset, and the last
// piece of the torrent may be shorter than the others.

#include <cstdint>
#include <utility>
#include <vector>

namespace morvane::stream {

struct FileSpan {
  std::int64_t offset = 0;       // first byte of the file within the torrent
  std::int64_t size = 0;         // bytes of the file
  std::int64_t pieceLength = 0;  // bytes of every piece but the last
};

// Pieces [first, last] holding the file's bytes [begin, end); end > begin, both in the file.
struct PieceRange {
  int first = 0;
  int last = -1;
};
PieceRange PiecesOf(const FileSpan& file, std::int64_t begin, std::int64_t end);

// The piece holding byte `position` of the file.
int PieceAt(const FileSpan& file, std::int64_t position);

// The file's bytes [begin, end) that piece `piece` holds (empty when it holds none).
std::pair<std::int64_t, std::int64_t> FileBytesOf(const FileSpan& file, int piece);

// The ranges [begin, end) of the file whose pieces are all held, merged, in order.
// `have` is indexed by piece over the whole torrent.
std::vector<std::pair<std::int64_t, std::int64_t>> HeldRanges(const FileSpan& file,
                                                              const std::vector<bool>& have);

}  // namespace morvane::stream
