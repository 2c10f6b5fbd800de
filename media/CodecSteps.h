#pragma once
// The steps that picture and sound share: opening a stream's decoder, feeding an encoder and
// passing on what it gives back.

#include <functional>

#include "media/Libav.h"

namespace morvane::media {

// Where a stream's part of the output lies, in the input stream's time base: what comes
// before `firstPts` is left out (AV_NOPTS_VALUE: nothing is), and `originPts` becomes the
// output's time zero. The origin lies a little before the first picture when a copied
// picture stream needs room for its decoding order (B-frames).
struct StreamWindow {
  std::int64_t firstPts = AV_NOPTS_VALUE;
  std::int64_t originPts = 0;
};

// Receives each encoded packet, timestamps in the encoder's time base.
using PacketReceiver = std::function<void(AVPacket& packet)>;

// The stream's decoder, open, with up to `threads` threads (0: libavcodec's choice).
// Throws MediaError when there is none or it does not open.
CodecContext OpenDecoder(const AVStream& stream, int threads);

// Sends the frame (nullptr: the end, the encoder gives up what it holds) and hands every
// packet ready to `receive`. `what` names the step in the MediaError thrown on failure.
void EncodeFrame(AVCodecContext& encoder, const AVFrame* frame, AVPacket& scratch,
                 const PacketReceiver& receive, const char* what);

}  // namespace morvane::media
