#pragma once
// A demuxer over a byte source: libavformat reads through a custom I/O context whose reads
// go to ByteSource::readAt, so a file that is still arriving is read where its bytes are
// (the head, then the index at the tail for an MP4 that keeps it there), never from a
// half-written file on disk.

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>

#include "media/ByteSource.h"
#include "media/Libav.h"

namespace morvane::media {

// A failure while reading or converting; what() is a short English reason.
struct MediaError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws MediaError("what: libav's reason") when code is negative; returns it otherwise.
int Check(int code, const char* what);

class MediaInput {
 public:
  // Opens and probes the streams. `cancelled` (may be null) ends every blocked step once set:
  // reads in progress finish, the next one fails. Throws MediaError.
  MediaInput(ByteSource source, const std::atomic<bool>* cancelled);
  MediaInput(const MediaInput&) = delete;
  MediaInput& operator=(const MediaInput&) = delete;
  ~MediaInput();

  AVFormatContext* format() const { return format_.get(); }
  const ByteSource& source() const { return state_->source; }
  // Why the last read failed, if it did ("" otherwise): the byte source or the cancel flag.
  std::string ReadFailure() const { return state_->failure; }

 private:
  struct State {
    ByteSource source;
    std::uint64_t position = 0;
    const std::atomic<bool>* cancelled = nullptr;
    std::string failure;
  };
  static int Read(void* opaque, std::uint8_t* buffer, int size);
  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence);
  static int Interrupted(void* opaque);

  std::unique_ptr<State> state_;
  IoContext io_;
  InputFormat format_;
};

}  // namespace morvane::media
