#pragma once
// The parts of HTTP that the streaming answers need: one byte range from a Range header,
// and the media type a player expects for a file name.

#include <cstdint>
#include <optional>
#include <string>

namespace morvane::stream {

struct ByteRange {
  std::int64_t begin = 0;
  std::int64_t end = 0;  // one past the last byte
};

enum class RangeResult { kWhole, kPartial, kUnsatisfiable };

// Reads a "bytes=A-B", "bytes=A-" or "bytes=-N" header for a body of `size` bytes. An empty
// or malformed header, or a list of several ranges, asks for the whole body (a server may
// ignore what it does not support); a well-formed range outside the body is unsatisfiable.
RangeResult ParseRange(const std::string& header, std::int64_t size, ByteRange& range);

// "video/mp4" for "a/b.MP4"; "application/octet-stream" when the extension is unknown.
std::string MediaTypeOf(const std::string& fileName);

// True for the extensions of video files a torrent's largest video is chosen among.
bool IsVideoName(const std::string& fileName);

}  // namespace morvane::stream
