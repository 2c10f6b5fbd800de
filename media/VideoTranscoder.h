#pragma once
// Picture the browser cannot play (HEVC, MPEG-4 Part 2, MPEG-2, VC-1, ...) decoded, scaled
// and re-encoded to H.264 with libx264.

#include <string>

#include "media/AudioTranscoder.h"
#include "media/Libav.h"

namespace morvane::media {

// How the picture is re-encoded.
struct VideoPlan {
  int width = 0, height = 0;  // output size, even numbers
  std::string preset;         // libx264's speed preset
  int crf = 23;               // libx264's constant quality
  double measuredFps = 0;     // frames a second decoded and encoded when it was chosen
};

class VideoTranscoder {
 public:
  // Frames outside the window are dropped. Throws MediaError.
  VideoTranscoder(const AVStream& input, StreamWindow window, const VideoPlan& plan);

  const AVCodecContext& encoder() const { return *encoder_; }
  // One packet of the input stream; a packet the decoder rejects is skipped. Throws
  // MediaError when the encoder fails.
  void Send(const AVPacket& packet, const PacketReceiver& receive);
  void Flush(const PacketReceiver& receive);
  long long framesEncoded() const { return framesEncoded_; }

 private:
  void Drain(const PacketReceiver& receive);
  void Encode(const AVFrame* frame, const PacketReceiver& receive);

  StreamWindow window_;
  CodecContext decoder_;
  CodecContext encoder_;
  Scaler scaler_;
  Frame decoded_;
  Frame scaled_;
  Packet packet_;
  std::int64_t lastPts_ = AV_NOPTS_VALUE;
  long long framesEncoded_ = 0;
};

// The output size for a picture of w x h brought down to at most `height` lines (never up),
// the aspect kept, both even.
void FitSize(int w, int h, int height, int& outWidth, int& outHeight);

}  // namespace morvane::media
