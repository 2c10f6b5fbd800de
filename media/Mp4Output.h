#pragma once
// A fragmented MP4 written as a byte stream to a sink: an empty index first (ftyp + moov,
// no samples), then self-contained fragments, so a player can start on the first bytes and
// nothing is ever rewritten. The movie header carries the duration given up front, which a
// fragmented file otherwise lacks until its end.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "media/Libav.h"

namespace morvane::media {

// Takes the next bytes of the stream; false when the receiver has gone (the output ends).
using ByteSink = std::function<bool(const char* data, std::size_t size)>;

class Mp4Output {
 public:
  explicit Mp4Output(ByteSink sink);
  Mp4Output(const Mp4Output&) = delete;
  Mp4Output& operator=(const Mp4Output&) = delete;
  ~Mp4Output();

  // A stream copied from the input (parameters as they are) or fed by an encoder. Returns
  // the output stream's index. Throws MediaError.
  int AddCopiedStream(const AVStream& input);
  int AddEncodedStream(const AVCodecContext& encoder);

  // Writes the header with the movie's duration in it. Throws MediaError.
  void Start(double durationSeconds);
  // Takes the packet (timestamps in `from`) and writes it. Throws MediaError.
  void Write(AVPacket& packet, int outputStream, AVRational from);
  // The trailer (the last fragment). Throws MediaError.
  void Finish();

  std::uint64_t bytesWritten() const { return bytesWritten_; }
  bool sinkClosed() const { return sinkClosed_; }

 private:
  static int WriteBytes(void* opaque, std::uint8_t* data, int size);

  ByteSink sink_;
  IoContext io_;
  OutputFormat format_;
  bool headerPending_ = true;
  double durationSeconds_ = 0;
  std::vector<char> header_;
  std::uint64_t bytesWritten_ = 0;
  bool sinkClosed_ = false;
};

// Sets the duration in the movie header and in every track's headers of an MP4 header held
// in `bytes`; false when it has no movie header.
bool SetHeaderDurations(std::vector<char>& bytes, double seconds);

}  // namespace morvane::media
