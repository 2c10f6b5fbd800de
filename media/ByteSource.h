#pragma once
// A media file as the converter reads it: possibly still arriving (a torrent being
// downloaded), so a read may block until the bytes are there.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace morvane::media {

struct ByteSource {            // a file that may still be arriving: readAt blocks until the bytes are there
  std::uint64_t size = 0;      // whole file size
  std::string name;            // file name inside the torrent (extension hints)
  std::function<std::int64_t(std::uint64_t offset, char* buffer, std::size_t length)> readAt;  // bytes read, 0 at end, <0 on failure/abort
};

// A local file as a byte source (tools, tests, benchmarks). The source holds the file open
// for as long as any copy of it lives. An unreadable file gives a source whose reads fail.
ByteSource FileByteSource(const std::string& path);

// Bytes in memory as a source (subtitle files, tests); the source keeps its own copy.
ByteSource MemoryByteSource(std::string bytes, std::string name);

}  // namespace morvane::media
