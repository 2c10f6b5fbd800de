#include "media/VideoTranscoder.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "media/MediaInput.h"

namespace morvane::media {

namespace {

// A key frame every two seconds: fragments stay short and a player joining mid-stream waits
// little, at a small cost in size.
constexpr double kKeyFrameSeconds = 2.0;

int Even(double value) { return std::max(2, static_cast<int>(std::lround(value / 2.0)) * 2); }

}  // namespace

void FitSize(int w, int h, int height, int& outWidth, int& outHeight) {
  if (w <= 0 || h <= 0) {
    outWidth = outHeight = 0;
    return;
  }
  if (height <= 0 || h <= height) {
    outWidth = Even(w);
    outHeight = Even(h);
    return;
  }
  outHeight = Even(height);
  outWidth = Even(static_cast<double>(w) * outHeight / h);
}

VideoTranscoder::VideoTranscoder(const AVStream& input, StreamWindow window, const VideoPlan& plan)
    : window_(window), decoded_(NewFrame()), scaled_(NewFrame()), packet_(NewPacket()) {
  // Decoding shares the two cores with the encoder; libavcodec chooses slice or frame
  // threads per codec (frame threads decode HEVC fastest).
  decoder_ = OpenDecoder(input, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));

  const AVCodec* encoderCodec = avcodec_find_encoder_by_name("libx264");
  if (encoderCodec == nullptr) throw MediaError("no H.264 encoder (libx264)");
  encoder_.reset(avcodec_alloc_context3(encoderCodec));
  if (!encoder_) throw std::bad_alloc();
  encoder_->width = plan.width;
  encoder_->height = plan.height;
  encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
  encoder_->time_base = input.time_base;
  AVRational rate = input.avg_frame_rate.num > 0 ? input.avg_frame_rate : input.r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = AVRational{25, 1};
  encoder_->framerate = rate;
  encoder_->gop_size = std::max(1, static_cast<int>(std::lround(av_q2d(rate) * kKeyFrameSeconds)));
  encoder_->sample_aspect_ratio = input.codecpar->sample_aspect_ratio;
  encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "preset", plan.preset.c_str(), 0);
  // No look-ahead and no B-frames: a frame leaves the encoder as soon as it is in, which is
  // what brings the first picture to the player quickly.
  av_dict_set(&options, "tune", "zerolatency", 0);
  av_dict_set_int(&options, "crf", plan.crf, 0);
  const int opened = avcodec_open2(encoder_.get(), encoderCodec, &options);
  av_dict_free(&options);
  Check(opened, "opening the H.264 encoder");

  scaled_->format = AV_PIX_FMT_YUV420P;
  scaled_->width = plan.width;
  scaled_->height = plan.height;
  Check(av_frame_get_buffer(scaled_.get(), 0), "picture buffer");
}

void VideoTranscoder::Send(const AVPacket& packet, const PacketReceiver& receive) {
  if (avcodec_send_packet(decoder_.get(), &packet) < 0) return;
  Drain(receive);
}

void VideoTranscoder::Flush(const PacketReceiver& receive) {
  avcodec_send_packet(decoder_.get(), nullptr);
  Drain(receive);
  Encode(nullptr, receive);
}

void VideoTranscoder::Drain(const PacketReceiver& receive) {
  for (;;) {
    const int got = avcodec_receive_frame(decoder_.get(), decoded_.get());
    if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) break;
    if (got < 0) break;  // a damaged frame: skipped
    std::int64_t pts = decoded_->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) pts = lastPts_ == AV_NOPTS_VALUE ? window_.originPts : lastPts_ + 1;
    // Frames before the start (an open group of pictures) and frames out of order are
    // dropped: the encoder needs strictly increasing times.
    if ((window_.firstPts != AV_NOPTS_VALUE && pts < window_.firstPts) ||
        (lastPts_ != AV_NOPTS_VALUE && pts <= lastPts_)) {
      av_frame_unref(decoded_.get());
      continue;
    }
    lastPts_ = pts;
    scaler_.reset(sws_getCachedContext(scaler_.release(), decoded_->width, decoded_->height,
                                       static_cast<AVPixelFormat>(decoded_->format), encoder_->width,
                                       encoder_->height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                       nullptr, nullptr));
    if (!scaler_) throw MediaError("no scaler for the picture");
    Check(av_frame_make_writable(scaled_.get()), "picture buffer");
    sws_scale(scaler_.get(), decoded_->data, decoded_->linesize, 0, decoded_->height, scaled_->data,
              scaled_->linesize);
    scaled_->pts = pts - window_.originPts;
    av_frame_unref(decoded_.get());
    Encode(scaled_.get(), receive);
  }
}

void VideoTranscoder::Encode(const AVFrame* frame, const PacketReceiver& receive) {
  if (frame != nullptr) ++framesEncoded_;
  const std::int64_t frameLength =
      std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(encoder_->framerate), encoder_->time_base));
  EncodeFrame(*encoder_, frame, *packet_, [&](AVPacket& packet) {
    // Each packet's own length lets the muxer end a fragment exactly at the next frame.
    if (packet.duration <= 0) packet.duration = frameLength;
    receive(packet);
  }, "encoding the picture");
}

}  // namespace morvane::media
