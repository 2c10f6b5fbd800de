#include "media/AudioTranscoder.h"

#include <algorithm>

#include "media/MediaInput.h"

namespace morvane::media {

namespace {

constexpr std::int64_t kStereoBitRate = 160000;

// AAC's own sample rates that browsers take everywhere; anything else is resampled to 48 kHz.
int OutputSampleRate(int input) { return input == 44100 || input == 48000 ? input : 48000; }

}  // namespace

AudioTranscoder::AudioTranscoder(const AVStream& input, StreamWindow window)
    : inputTimeBase_(input.time_base), window_(window), decoded_(NewFrame()),
      encoded_(NewFrame()), packet_(NewPacket()) {
  decoder_ = OpenDecoder(input, 1);

  const AVCodec* encoderCodec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (encoderCodec == nullptr) throw MediaError("no AAC encoder");
  encoder_.reset(avcodec_alloc_context3(encoderCodec));
  if (!encoder_) throw std::bad_alloc();
  const int rate = OutputSampleRate(decoder_->sample_rate > 0 ? decoder_->sample_rate : 48000);
  encoder_->sample_rate = rate;
  encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&encoder_->ch_layout, 2);
  encoder_->bit_rate = kStereoBitRate;
  encoder_->time_base = AVRational{1, rate};
  // The MP4 muxer wants the decoder configuration in the header, not in each packet.
  encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Check(avcodec_open2(encoder_.get(), encoderCodec, nullptr), "opening the AAC encoder");

  AVChannelLayout inputLayout{};
  if (decoder_->ch_layout.nb_channels > 0 && decoder_->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC)
    Check(av_channel_layout_copy(&inputLayout, &decoder_->ch_layout), "channel layout");
  else
    av_channel_layout_default(&inputLayout, std::max(1, decoder_->ch_layout.nb_channels));
  SwrContext* resampler = nullptr;
  const int made = swr_alloc_set_opts2(&resampler, &encoder_->ch_layout, encoder_->sample_fmt, rate,
                                       &inputLayout, decoder_->sample_fmt,
                                       decoder_->sample_rate > 0 ? decoder_->sample_rate : rate, 0,
                                       nullptr);
  av_channel_layout_uninit(&inputLayout);
  resampler_.reset(resampler);
  Check(made, "sound resampler");
  Check(swr_init(resampler_.get()), "sound resampler");
  fifo_.reset(av_audio_fifo_alloc(encoder_->sample_fmt, 2, encoder_->frame_size * 4));
  if (!fifo_) throw std::bad_alloc();
}

void AudioTranscoder::Send(const AVPacket& packet, const PacketReceiver& receive) {
  if (avcodec_send_packet(decoder_.get(), &packet) < 0) return;
  Drain(receive);
}

void AudioTranscoder::Flush(const PacketReceiver& receive) {
  avcodec_send_packet(decoder_.get(), nullptr);
  Drain(receive);
  Resample(nullptr);
  EncodeFromFifo(true, receive);
  EncodeFrame(*encoder_, nullptr, *packet_, receive, "ending the sound");
}

void AudioTranscoder::Drain(const PacketReceiver& receive) {
  for (;;) {
    const int got = avcodec_receive_frame(decoder_.get(), decoded_.get());
    if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) break;
    if (got < 0) break;  // a damaged frame: skipped
    const std::int64_t pts = decoded_->best_effort_timestamp;
    if (pts != AV_NOPTS_VALUE && window_.firstPts != AV_NOPTS_VALUE && pts < window_.firstPts) {
      av_frame_unref(decoded_.get());
      continue;
    }
    if (nextPts_ == AV_NOPTS_VALUE) {
      // The first sound kept: its place on the output's time line, so picture and sound
      // start in step even when the sound begins a little after the key frame.
      nextPts_ = pts == AV_NOPTS_VALUE
                     ? 0
                     : av_rescale_q(pts - window_.originPts, inputTimeBase_, encoder_->time_base);
    }
    Resample(decoded_.get());
    av_frame_unref(decoded_.get());
    EncodeFromFifo(false, receive);
  }
}

void AudioTranscoder::Resample(const AVFrame* frame) {
  const int inputSamples = frame != nullptr ? frame->nb_samples : 0;
  const int room = swr_get_out_samples(resampler_.get(), inputSamples);
  if (room <= 0) return;
  Frame out = NewFrame();
  out->format = encoder_->sample_fmt;
  out->nb_samples = room;
  out->sample_rate = encoder_->sample_rate;
  Check(av_channel_layout_copy(&out->ch_layout, &encoder_->ch_layout), "channel layout");
  Check(av_frame_get_buffer(out.get(), 0), "sound buffer");
  const int converted =
      Check(swr_convert(resampler_.get(), out->data, room,
                        frame != nullptr ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr,
                        inputSamples),
            "resampling sound");
  if (converted > 0)
    Check(av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(out->data), converted),
          "sound buffer");
}

void AudioTranscoder::EncodeFromFifo(bool final, const PacketReceiver& receive) {
  const int frameSize = encoder_->frame_size;
  while (av_audio_fifo_size(fifo_.get()) >= frameSize ||
         (final && av_audio_fifo_size(fifo_.get()) > 0)) {
    const int samples = std::min(frameSize, av_audio_fifo_size(fifo_.get()));
    av_frame_unref(encoded_.get());
    encoded_->format = encoder_->sample_fmt;
    encoded_->nb_samples = samples;
    encoded_->sample_rate = encoder_->sample_rate;
    Check(av_channel_layout_copy(&encoded_->ch_layout, &encoder_->ch_layout), "channel layout");
    Check(av_frame_get_buffer(encoded_.get(), 0), "sound buffer");
    Check(av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(encoded_->data), samples),
          "sound buffer");
    encoded_->pts = nextPts_ == AV_NOPTS_VALUE ? 0 : nextPts_;
    nextPts_ = encoded_->pts + samples;
    EncodeFrame(*encoder_, encoded_.get(), *packet_, receive, "encoding sound");
  }
}

}  // namespace morvane::media
