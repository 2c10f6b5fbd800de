#pragma once
// Decoding bencoded bytes into CAtom values and encoding values back.
//
// The decoder moves past every element by the size of its canonical encoding
// (WireLength), not by the bytes it read. On canonical input the two agree; on other input
// (leading zeros, "+", white space or "-0" in an integer, leading zeros in a string length,
// a repeated key in a nested dictionary) the position drifts and the rest of the enclosing
// container is read from the wrong offset. Info-hashes of existing torrents depend on
// exactly this, so it stays.
//
// Every malformation gives nullptr. Beyond the malformations of the format, so does:
// a string whose length runs past the end of the data, integer text without digits or
// outside 64 bits, nesting deeper than kMaxNestingDepth, input that makes the decoder
// build far more than the input could hold canonically (drift can make it re-read the
// same bytes over and over; see kWorkPerInputByte), and input whose values would take more
// memory than kTreeBytesPerInputByte allows.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "torrent/Atom.h"
#include "torrent/SHA1.h"

namespace morvane {

// Lists and dictionaries nested deeper than this give nullptr.
inline constexpr std::uint32_t kMaxNestingDepth = 4096;
// Limit on the decoder's work (values built, bytes searched and bytes copied) for each input
// byte, on top of a fixed allowance. Canonical input needs less than 3 per byte.
inline constexpr std::uint64_t kWorkPerInputByte = 16;
inline constexpr std::uint64_t kWorkAllowance = std::uint64_t{1} << 20;
// Limit on the memory the decoded values take, for each input byte, on top of a fixed
// allowance. Decoded values take far more room than their encoding (a two-byte empty list
// is a whole object), so without it a small file could fill the memory. A whole import
// holds the input, the values and the record made of them, and stays below 8 bytes for each
// input byte plus 64 MB: the record's file list takes up to 2 bytes for each input byte
// (40 bytes and the path for a file entry of at least 21), and the file lists that come
// near that take more than 6 per byte in values, so they spend the allowance first and are
// refused before their record could go past the bound. Torrents mostly need about 1 per
// byte (piece digests); a million files with 15-byte names need under 5, with 6-byte names
// a little over 6, which the allowance covers.
inline constexpr std::uint64_t kTreeBytesPerInputByte = 6;
inline constexpr std::uint64_t kTreeBytesAllowance = std::uint64_t{40} << 20;
// Files larger than this are not decoded. A torrent of a million files is about 29 MB;
// twice that leaves room for long names, and it keeps the memory a file can claim within
// the bound above.
inline constexpr std::uint64_t kMaxInputLength = std::uint64_t{64} << 20;

// The value starting at `position` of the `length` bytes at `data`, or nullptr. Bytes after
// the first complete value are ignored.
AtomPtr ParseValue(const char* data, std::uint32_t length, std::uint32_t position);

// Where the value kept under "info" by an outermost dictionary lies in the input, and
// whether those bytes are exactly its canonical encoding (then hashing them is hashing the
// re-encoding). `canonical` is false when there is no such dictionary.
struct InfoBytes {
  bool canonical = false;
  std::uint32_t start = 0;
  std::uint32_t length = 0;
};
// ParseValue that also reports InfoBytes (when `info` is not null).
AtomPtr ParseValue(const char* data, std::uint32_t length, std::uint32_t position, InfoBytes* info);

// The value of a whole file, or nullptr when it cannot be read, is empty, or is no value.
AtomPtr ParseTorrentFile(const std::string& path);
// The bytes of a regular file of at most kMaxInputLength bytes: their count, and 0 (with
// `bytes` empty) when it cannot be read or is empty.
std::uint32_t ReadTorrentBytes(const std::string& path, std::unique_ptr<char[]>& bytes);

// Canonical encodings. Each gives std::nullopt when the value's WireLength is below 1 or
// the value does not fit a 32-bit length; the dictionary encoder also when given no
// dictionary, and so on for the others.
std::optional<std::string> SerializeValue(const CAtom& value);
std::optional<std::string> SerializeInteger(const CAtom& value);
std::optional<std::string> SerializeString(const CAtom& value);
std::optional<std::string> SerializeList(const CAtom& value);
std::optional<std::string> SerializeDictionary(const CAtom& value);
// Absorbs what SerializeDictionary would give into `hasher` without holding it whole; false
// where that gives std::nullopt (the hasher may then have absorbed part of it).
bool HashDictionary(const CAtom& value, CSHA1& hasher);

}  // namespace morvane
