#pragma once
// The libav* headers for this library, and one set of owners for their objects: every
// object is released by its own library function on every path, whatever way a routine
// ends.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avutil.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace morvane::media {

struct LibavDeleter {
  void operator()(AVFormatContext* input) const;  // an input context: closed
  void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
  void operator()(AVIOContext* io) const;  // its buffer too
  void operator()(SwrContext* resampler) const { swr_free(&resampler); }
  void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
  void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};

// An output format context is freed, not closed: its I/O context has an owner of its own.
struct OutputFormatDeleter {
  void operator()(AVFormatContext* output) const { avformat_free_context(output); }
};

using InputFormat = std::unique_ptr<AVFormatContext, LibavDeleter>;
using OutputFormat = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using CodecContext = std::unique_ptr<AVCodecContext, LibavDeleter>;
using Frame = std::unique_ptr<AVFrame, LibavDeleter>;
using Packet = std::unique_ptr<AVPacket, LibavDeleter>;
using IoContext = std::unique_ptr<AVIOContext, LibavDeleter>;
using Resampler = std::unique_ptr<SwrContext, LibavDeleter>;
using Scaler = std::unique_ptr<SwsContext, LibavDeleter>;
using AudioFifo = std::unique_ptr<AVAudioFifo, LibavDeleter>;

Frame NewFrame();
Packet NewPacket();

// Keeps libav's own messages to errors: its per-stream chatter (encoder statistics, muxer
// hints) would flood a service's log. Process-wide; programs call it once at start.
void QuietLibavLog();

// A stream's or file's metadata value ("language", "title"), "" when absent.
std::string MetadataValue(const AVDictionary* metadata, const char* key);

// libav's text for an error code.
std::string ErrorText(int code);

}  // namespace morvane::media
