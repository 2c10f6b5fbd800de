#pragma once
// Turns any file the converter can read into a fragmented MP4 (H.264 or the original
// browser codec for the picture, AAC or the original browser codec for the sound) written to
// a sink as it is made, starting at a chosen time. Streams the browser plays are copied;
// the rest are re-encoded.
//
// Run() blocks the calling thread until the stream is done, failed or cancelled; Cancel()
// may be called from any thread. A failure ends this stream with an error result and never
// throws out of Run().

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "media/ByteSource.h"
#include "media/Mp4Output.h"
#include "media/VideoTranscoder.h"

namespace morvane::media {

// Known before the first byte is written, so that the server can tell the player.
struct ConvertStart {
  double startSeconds = 0;     // the film's time at the output's time zero: the key frame at
                               // or before the time asked for, less the little a copied
                               // picture stream needs for its decoding order (so it can be
                               // a few hundredths below zero at the very beginning)
  double durationSeconds = 0;  // the output's length (the file's length less startSeconds),
                               // also written in the output's header
  bool videoCopied = false, audioCopied = false;
  bool videoTranscoded = false, audioTranscoded = false;
  VideoPlan plan;              // when the picture is re-encoded
};

struct ConvertOptions {
  double startSeconds = 0;
  int maxHeight = 720;         // a re-encoded picture has at most this many lines
  double speedTarget = 1.25;   // a re-encoding must run this much faster than playback
  VideoPlan videoPlan;         // with a size, used as it is instead of measuring (benchmarks)
  // The container's index of the sound to play (a film's other language); -1: the default
  // track. A stream that is no sound the converter can decode fails the conversion.
  int audioStream = -1;
  std::function<void(const ConvertStart&)> onStart;  // called once, before the first byte
};

struct ConvertResult {
  bool ok = false;
  bool cancelled = false;
  std::string error;           // a short English reason when not ok
  std::uint64_t bytesWritten = 0;
  ConvertStart start;
};

class Converter {
 public:
  Converter(ByteSource source, ConvertOptions options);
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  ConvertResult Run(const ByteSink& sink);
  void Cancel() { cancelled_.store(true); }

 private:
  ByteSource source_;
  ConvertOptions options_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace morvane::media
