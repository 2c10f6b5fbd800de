#pragma once
// Sound the browser cannot play (AC3, DTS, MP2, PCM, ...) re-encoded to stereo AAC.

#include "media/CodecSteps.h"
#include "media/Libav.h"

namespace morvane::media {

class AudioTranscoder {
 public:
  // Sound outside the window is dropped. Throws MediaError.
  AudioTranscoder(const AVStream& input, StreamWindow window);

  const AVCodecContext& encoder() const { return *encoder_; }
  // One packet of the input stream. Throws MediaError on a broken encoder; a packet the
  // decoder rejects is skipped (one damaged frame of sound is not worth the stream).
  void Send(const AVPacket& packet, const PacketReceiver& receive);
  // The sound still held in the decoder, resampler and encoder.
  void Flush(const PacketReceiver& receive);

 private:
  void Resample(const AVFrame* frame);
  void EncodeFromFifo(bool final, const PacketReceiver& receive);
  void Drain(const PacketReceiver& receive);

  AVRational inputTimeBase_;
  StreamWindow window_;
  CodecContext decoder_;
  CodecContext encoder_;
  Resampler resampler_;
  AudioFifo fifo_;
  Frame decoded_;
  Frame encoded_;
  Packet packet_;
  std::int64_t nextPts_ = AV_NOPTS_VALUE;  // in samples at the output rate
};

}  // namespace morvane::media
