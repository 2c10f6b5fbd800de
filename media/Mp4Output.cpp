#include "media/Mp4Output.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "media/MediaInput.h"

namespace morvane::media {

namespace {

constexpr int kWriteBufferSize = 64 * 1024;

std::uint64_t ReadBigEndian(const char* p, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | static_cast<unsigned char>(p[i]);
  return value;
}

void WriteBigEndian(char* p, int bytes, std::uint64_t value) {
  for (int i = bytes - 1; i >= 0; --i) {
    p[i] = static_cast<char>(value & 0xFF);
    value >>= 8;
  }
}


struct Box {
  std::size_t at;    // where the box starts
  std::size_t body;  // where its content starts
  std::size_t end;
  std::string_view type;
};

// The boxes directly inside [from, to) of an MP4, in order; a malformed size ends the list.
std::vector<Box> Children(const std::vector<char>& bytes, std::size_t from, std::size_t to) {
  std::vector<Box> boxes;
  while (from + 8 <= to) {
    const std::uint64_t size = ReadBigEndian(bytes.data() + from, 4);
    if (size < 8 || size > to - from) break;
    boxes.push_back({from, from + 8, from + size, std::string_view(bytes.data() + from + 4, 4)});
    from += size;
  }
  return boxes;
}

// Writes the duration field of a full box ("mvhd", "tkhd", "mdhd"): after version and flags
// come the creation and modification times (32-bit in version 0, 64-bit in version 1), then
// `skip` bytes, then the duration (32- or 64-bit).
bool WriteDuration(std::vector<char>& bytes, const Box& box, std::size_t skip, std::uint64_t units) {
  if (box.body >= box.end) return false;
  const int wide = bytes[box.body] == 1 ? 8 : 4;
  const std::size_t at = box.body + 4 + 2 * wide + skip;
  if (at + wide > box.end) return false;
  if (wide == 4 && units > 0xFFFFFFFFu) return false;
  WriteBigEndian(bytes.data() + at, wide, units);
  return true;
}

std::uint64_t TimeScale(const std::vector<char>& bytes, const Box& box) {
  const int wide = box.body < box.end && bytes[box.body] == 1 ? 8 : 4;
  const std::size_t at = box.body + 4 + 2 * wide;
  return at + 4 <= box.end ? ReadBigEndian(bytes.data() + at, 4) : 0;
}

std::uint64_t Units(double seconds, std::uint64_t scale) {
  return static_cast<std::uint64_t>(std::llround(std::max(0.0, seconds) * static_cast<double>(scale)));
}

}  // namespace

// The movie header alone is not enough: demuxers drop its duration once they see that the
// movie is fragmented, but keep each track's ("mdhd"), so every track carries it too.
bool SetHeaderDurations(std::vector<char>& bytes, double seconds) {
  bool movie = false;
  for (const Box& moov : Children(bytes, 0, bytes.size())) {
    if (moov.type != "moov") continue;
    std::uint64_t movieScale = 0;
    for (const Box& box : Children(bytes, moov.body, moov.end)) {
      if (box.type == "mvhd") {
        movieScale = TimeScale(bytes, box);
        movie = movieScale > 0 && WriteDuration(bytes, box, 4, Units(seconds, movieScale));
      }
      if (box.type != "trak" || movieScale == 0) continue;
      for (const Box& part : Children(bytes, box.body, box.end)) {
        // tkhd: track id and a reserved word before the duration, in the movie's time scale.
        if (part.type == "tkhd") WriteDuration(bytes, part, 8, Units(seconds, movieScale));
        if (part.type != "mdia") continue;
        for (const Box& media : Children(bytes, part.body, part.end)) {
          const std::uint64_t scale = media.type == "mdhd" ? TimeScale(bytes, media) : 0;
          if (scale > 0) WriteDuration(bytes, media, 4, Units(seconds, scale));
        }
      }
    }
  }
  return movie;
}

int Mp4Output::WriteBytes(void* opaque, std::uint8_t* data, int size) {
  auto& self = *static_cast<Mp4Output*>(opaque);
  if (self.sinkClosed_) return AVERROR(EPIPE);
  if (self.headerPending_) {
    self.header_.insert(self.header_.end(), data, data + size);
    return size;
  }
  if (!self.sink_(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size))) {
    self.sinkClosed_ = true;
    return AVERROR(EPIPE);
  }
  self.bytesWritten_ += static_cast<std::uint64_t>(size);
  return size;
}

Mp4Output::Mp4Output(ByteSink sink) : sink_(std::move(sink)) {
  AVFormatContext* format = nullptr;
  Check(avformat_alloc_output_context2(&format, nullptr, "mp4", nullptr), "no MP4 muxer");
  format_.reset(format);
  auto* buffer = static_cast<unsigned char*>(av_malloc(kWriteBufferSize));
  if (buffer == nullptr) throw std::bad_alloc();
  io_.reset(avio_alloc_context(buffer, kWriteBufferSize, 1, this, nullptr, &Mp4Output::WriteBytes,
                               nullptr));
  if (!io_) {
    av_free(buffer);
    throw std::bad_alloc();
  }
  format_->pb = io_.get();
  format_->flags |= AVFMT_FLAG_CUSTOM_IO;
  // Hand each fragment to the sink as soon as it is complete rather than when the write
  // buffer fills: a slow transcode would otherwise hold back seconds of picture.
  format_->flush_packets = 1;
  // Not "make zero", the muxer's default here: it pulls each track's first sample to zero.
  format_->avoid_negative_ts = AVFMT_AVOID_NEG_TS_MAKE_NON_NEGATIVE;
}

Mp4Output::~Mp4Output() = default;

int Mp4Output::AddCopiedStream(const AVStream& input) {
  AVStream* stream = avformat_new_stream(format_.get(), nullptr);
  if (stream == nullptr) throw std::bad_alloc();
  Check(avcodec_parameters_copy(stream->codecpar, input.codecpar), "copying stream parameters");
  // The input's tag means nothing in MP4 (an AVI's "XVID", a Matroska's none); the muxer
  // picks its own.
  stream->codecpar->codec_tag = 0;
  stream->time_base = input.time_base;
  av_dict_copy(&stream->metadata, input.metadata, 0);
  return stream->index;
}

int Mp4Output::AddEncodedStream(const AVCodecContext& encoder) {
  AVStream* stream = avformat_new_stream(format_.get(), nullptr);
  if (stream == nullptr) throw std::bad_alloc();
  Check(avcodec_parameters_from_context(stream->codecpar, &encoder), "encoder parameters");
  stream->time_base = encoder.time_base;
  return stream->index;
}

void Mp4Output::Start(double durationSeconds) {
  durationSeconds_ = durationSeconds;
  AVDictionary* options = nullptr;
  // An empty index up front and fragments cut at key frames or every second, whichever
  // comes first, so the first bytes leave at once and a copied stream with rare key frames
  // still arrives in small steps.
  av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof+frag_discont", 0);
  av_dict_set(&options, "frag_duration", "1000000", 0);
  // Every track's first fragment carries its true start ("frag_discont" without an edit
  // list, which an index written before any sample could not hold anyway): sound that
  // starts after the first picture, or a picture stream that starts decoding before it
  // shows, keep their place instead of being pulled to zero.
  av_dict_set(&options, "use_editlist", "0", 0);
  const int written = avformat_write_header(format_.get(), &options);
  av_dict_free(&options);
  Check(written, "writing the MP4 header");
  avio_flush(format_->pb);
  headerPending_ = false;
  if (durationSeconds_ > 0) SetHeaderDurations(header_, durationSeconds_);
  if (!sink_(header_.data(), header_.size())) {
    sinkClosed_ = true;
    throw MediaError("the receiver went away");
  }
  bytesWritten_ += header_.size();
  header_.clear();
}

void Mp4Output::Write(AVPacket& packet, int outputStream, AVRational from) {
  packet.stream_index = outputStream;
  av_packet_rescale_ts(&packet, from, format_->streams[outputStream]->time_base);
  packet.pos = -1;
  const int written = av_interleaved_write_frame(format_.get(), &packet);
  if (sinkClosed_) throw MediaError("the receiver went away");
  Check(written, "writing a packet");
}

void Mp4Output::Finish() {
  const int written = av_write_trailer(format_.get());
  if (sinkClosed_) throw MediaError("the receiver went away");
  Check(written, "writing the end of the stream");
  avio_flush(format_->pb);
}

}  // namespace morvane::media
