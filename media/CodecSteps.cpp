#include "media/CodecSteps.h"

#include "media/MediaInput.h"

namespace morvane::media {

CodecContext OpenDecoder(const AVStream& stream, int threads) {
  const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
  if (codec == nullptr) throw MediaError(std::string("no decoder for ") + avcodec_get_name(stream.codecpar->codec_id));
  CodecContext decoder(avcodec_alloc_context3(codec));
  if (!decoder) throw std::bad_alloc();
  Check(avcodec_parameters_to_context(decoder.get(), stream.codecpar), "decoder parameters");
  decoder->pkt_timebase = stream.time_base;
  decoder->thread_count = threads;
  Check(avcodec_open2(decoder.get(), codec, nullptr), "opening the decoder");
  return decoder;
}

void EncodeFrame(AVCodecContext& encoder, const AVFrame* frame, AVPacket& scratch,
                 const PacketReceiver& receive, const char* what) {
  Check(avcodec_send_frame(&encoder, frame), what);
  for (;;) {
    const int got = avcodec_receive_packet(&encoder, &scratch);
    if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) break;
    Check(got, what);
    receive(scratch);
    av_packet_unref(&scratch);
  }
}

}  // namespace morvane::media
