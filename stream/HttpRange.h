#pragma once
// The part of HTTP that the streaming answers need: one byte range from a Range header.

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

}  // namespace morvane::stream
