#include "media/Converter.h"

#include <chrono>
#include <cmath>
#include <deque>
#include <optional>

#include "media/AudioTranscoder.h"
#include "media/MediaInput.h"
#include "media/MediaProbe.h"
#include "media/StreamChoice.h"
#include "media/VideoPlanner.h"

namespace morvane::media {

namespace {

using Clock = std::chrono::steady_clock;

// A plan's trial: frames decoded before the clock starts (decoder threads filling up), the
// frames timed, and a wall-clock cap so a very slow candidate is given up early.
constexpr int kTrialWarmUpFrames = 4;
constexpr int kTrialFrames = 24;
constexpr auto kTrialCap = std::chrono::milliseconds(2500);

// A stream that stops further than this short of the length its header announced has lost
// its end: a second, or 2% of a long film whose header may round generously.
constexpr double kEarlyEndSlackSeconds = 1.0;
constexpr double kEarlyEndSlackShare = 0.02;

// The first step back when a seek lands after the time asked for; each further one doubles.
constexpr double kSeekBackSeconds = 2.0;

double Seconds(std::int64_t pts, AVRational base) { return static_cast<double>(pts) * av_q2d(base); }


// How long before its presentation a copied picture stream's first frame is decoded, in the
// stream's time base. Right after a seek the demuxer often does not know the key frame's
// decoding time; the muxer then works it out from the stream's reorder depth, and so is it
// done here.
std::int64_t ReorderDelay(const AVStream& video, const AVPacket& keyFrame) {
  if (keyFrame.dts != AV_NOPTS_VALUE && keyFrame.dts <= keyFrame.pts) return keyFrame.pts - keyFrame.dts;
  const AVRational rate = video.avg_frame_rate.num > 0 ? video.avg_frame_rate : video.r_frame_rate;
  if (video.codecpar->video_delay <= 0 || rate.num <= 0 || rate.den <= 0) return 0;
  return av_rescale_q(video.codecpar->video_delay, av_inv_q(rate), video.time_base);
}

class Conversion {
 public:
  Conversion(MediaInput& input, const ConvertOptions& options, const std::atomic<bool>& cancelled)
      : input_(input), format_(*input.format()), options_(options), cancelled_(cancelled),
        packet_(NewPacket()) {}

  void Run(const ByteSink& sink, ConvertResult& result);

 private:
  void SeekTo(double seconds);
  void FindStart(std::deque<Packet>& early);
  VideoPlan PlanVideo();
  double TrialRun(const VideoPlan& plan);
  bool ReadPacket();
  void CheckCancelled() const {
    if (cancelled_.load()) throw MediaError("cancelled");
  }

  MediaInput& input_;
  AVFormatContext& format_;
  const ConvertOptions& options_;
  const std::atomic<bool>& cancelled_;
  Packet packet_;
  int video_ = -1, audio_ = -1;
};

bool Conversion::ReadPacket() {
  av_packet_unref(packet_.get());
  const int read = av_read_frame(&format_, packet_.get());
  if (read == AVERROR_EOF) return false;
  if (!input_.ReadFailure().empty()) throw MediaError(input_.ReadFailure());
  if (read < 0) {
    // A damaged tail reads as an error in some demuxers, as the end in others: both end the
    // stream, and the length check after the loop tells a cut file from a whole one.
    if (avio_feof(format_.pb)) return false;
    Check(read, "reading the file");
  }
  return true;
}

void Conversion::SeekTo(double seconds) {
  const std::int64_t target = TimelineZero(format_) + static_cast<std::int64_t>(seconds * AV_TIME_BASE);
  if (av_seek_frame(&format_, -1, target, AVSEEK_FLAG_BACKWARD) >= 0) return;
  CheckCancelled();
  // A file without an index (an AVI without its idx1) can only start from its beginning.
  if (seconds <= 0 && av_seek_frame(&format_, -1, 0, AVSEEK_FLAG_BYTE) >= 0) return;
  if (!input_.ReadFailure().empty()) throw MediaError(input_.ReadFailure());
  throw MediaError("the file cannot be played from that time");
}

// Reads on to the first key frame of the video stream (else the audio stream) after the
// seek and leaves it last in `early`, after the sound read on the way (some of which may
// belong after it).
void Conversion::FindStart(std::deque<Packet>& early) {
  const int leader = video_ >= 0 ? video_ : audio_;
  while (ReadPacket()) {
    CheckCancelled();
    if (packet_->stream_index == leader && (packet_->flags & AV_PKT_FLAG_KEY) != 0 &&
        packet_->pts != AV_NOPTS_VALUE) {
      early.push_back(NewPacket());
      av_packet_move_ref(early.back().get(), packet_.get());
      return;
    }
    if (packet_->stream_index == audio_) {
      early.push_back(NewPacket());
      av_packet_move_ref(early.back().get(), packet_.get());
    }
  }
  throw MediaError("nothing to play after that time");
}

double Conversion::TrialRun(const VideoPlan& plan) {
  try {
    SeekTo(options_.startSeconds);
    VideoTranscoder trial(*format_.streams[video_], StreamWindow{}, plan);
    const PacketReceiver discard = [](AVPacket&) {};
    std::optional<Clock::time_point> started;
    long long timedFrom = 0;
    const auto capStart = Clock::now();
    while (ReadPacket()) {
      CheckCancelled();
      if (packet_->stream_index != video_) continue;
      trial.Send(*packet_, discard);
      if (!started && trial.framesEncoded() >= kTrialWarmUpFrames) {
        started = Clock::now();
        timedFrom = trial.framesEncoded();
      }
      if (trial.framesEncoded() - timedFrom >= kTrialFrames || Clock::now() - capStart > kTrialCap) break;
    }
    if (!started) return 0;
    const double elapsed = std::chrono::duration<double>(Clock::now() - *started).count();
    const long long frames = trial.framesEncoded() - timedFrom;
    return frames > 0 && elapsed > 0 ? static_cast<double>(frames) / elapsed : 0;
  } catch (const MediaError&) {
    if (cancelled_.load()) throw;
    return 0;
  }
}

VideoPlan Conversion::PlanVideo() {
  if (options_.videoPlan.height > 0) return options_.videoPlan;
  const AVStream& stream = *format_.streams[video_];
  const AVCodecParameters& p = *stream.codecpar;
  AVRational rate = stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;
  const double fps = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 25.0;
  const std::string key = input_.source().name + "|" + std::to_string(input_.source().size) + "|" +
                          avcodec_get_name(p.codec_id) + "|" + std::to_string(p.width) + "x" +
                          std::to_string(p.height) + "|" + std::to_string(options_.maxHeight);
  return ChooseVideoPlan(key, fps, options_.speedTarget,
                         CandidatePlans(p.width, p.height, options_.maxHeight),
                         [this](const VideoPlan& plan) { return TrialRun(plan); });
}

void Conversion::Run(const ByteSink& sink, ConvertResult& result) {
  video_ = ChooseVideoStream(format_);
  audio_ = ChooseAudioStream(format_);
  if (options_.audioStream >= 0) {
    const auto wanted = static_cast<unsigned>(options_.audioStream);
    const AVCodecParameters* p = wanted < format_.nb_streams ? format_.streams[wanted]->codecpar : nullptr;
    if (p == nullptr || p->codec_type != AVMEDIA_TYPE_AUDIO || avcodec_find_decoder(p->codec_id) == nullptr)
      throw MediaError("the file has no audio stream " + std::to_string(options_.audioStream) +
                       " that can be played");
    audio_ = options_.audioStream;
  }
  if (video_ < 0 && audio_ < 0) throw MediaError("no video or audio stream");
  for (unsigned i = 0; i < format_.nb_streams; ++i)
    if (static_cast<int>(i) != video_ && static_cast<int>(i) != audio_)
      format_.streams[i]->discard = AVDISCARD_ALL;

  ConvertStart& start = result.start;
  const AVStream* video = video_ >= 0 ? format_.streams[video_] : nullptr;
  const AVStream* audio = audio_ >= 0 ? format_.streams[audio_] : nullptr;
  start.videoCopied = video != nullptr && CopiesIntoMp4(*video);
  start.videoTranscoded = video != nullptr && !start.videoCopied;
  start.audioCopied = audio != nullptr && CopiesIntoMp4(*audio);
  start.audioTranscoded = audio != nullptr && !start.audioCopied;
  if (start.videoTranscoded) start.plan = PlanVideo();

  const int leader = video_ >= 0 ? video_ : audio_;
  const AVRational leaderBase = format_.streams[leader]->time_base;
  const double fileStart = static_cast<double>(TimelineZero(format_)) / AV_TIME_BASE;
  const std::int64_t requestedPts =
      static_cast<std::int64_t>(std::floor((fileStart + options_.startSeconds) / av_q2d(leaderBase)));
  // A file without an index (MPEG-TS) seeks by guessing from its bit rate and may land
  // after the time asked for: it seeks again further back until the key frame found is at
  // or before it.
  std::deque<Packet> early;
  double seekTo = options_.startSeconds;
  for (double step = kSeekBackSeconds;; step *= 2) {
    SeekTo(seekTo);
    FindStart(early);
    if (early.back()->pts <= requestedPts || seekTo <= 0) break;
    early.clear();
    seekTo = std::max(0.0, seekTo - step);
  }
  // The output shows the film from the key frame found, or from the time asked for when
  // that comes first (from the very beginning, sound that starts before the first picture
  // is kept). A copied picture stream that reorders frames starts its decoding times before
  // its first picture; the output's zero goes back that far so that no time is negative and
  // sound and picture keep in step.
  const AVPacket& keyFrame = *early.back();
  const std::int64_t firstPts = std::min(keyFrame.pts, requestedPts);
  const std::int64_t reorder = start.videoCopied ? ReorderDelay(*video, keyFrame) : 0;
  const std::int64_t originPts = firstPts - reorder;
  const double fileDuration = format_.duration > 0 ? static_cast<double>(format_.duration) / AV_TIME_BASE : 0;
  start.startSeconds = Seconds(originPts, leaderBase) - fileStart;
  start.durationSeconds = fileDuration > 0 ? std::max(0.0, fileDuration - start.startSeconds) : 0;
  auto windowOf = [&](const AVStream& stream) {
    auto rescale = [&](std::int64_t pts) {
      return av_rescale_q_rnd(pts, leaderBase, stream.time_base,
                              static_cast<AVRounding>(AV_ROUND_DOWN | AV_ROUND_PASS_MINMAX));
    };
    return StreamWindow{rescale(firstPts), rescale(originPts)};
  };

  Mp4Output output(sink);
  std::optional<VideoTranscoder> videoCoder;
  std::optional<AudioTranscoder> audioCoder;
  int videoOut = -1, audioOut = -1;
  StreamWindow videoWindow, audioWindow;
  if (video != nullptr) {
    videoWindow = windowOf(*video);
    if (start.videoTranscoded) {
      videoCoder.emplace(*video, videoWindow, start.plan);
      videoOut = output.AddEncodedStream(videoCoder->encoder());
    } else {
      videoOut = output.AddCopiedStream(*video);
    }
  }
  if (audio != nullptr) {
    audioWindow = windowOf(*audio);
    if (start.audioTranscoded) {
      audioCoder.emplace(*audio, audioWindow);
      audioOut = output.AddEncodedStream(audioCoder->encoder());
    } else {
      audioOut = output.AddCopiedStream(*audio);
    }
  }
  if (options_.onStart) options_.onStart(start);
  output.Start(start.durationSeconds);

  double lastSeconds = start.startSeconds;
  const PacketReceiver videoEncoded = [&](AVPacket& p) { output.Write(p, videoOut, videoCoder->encoder().time_base); };
  const PacketReceiver audioEncoded = [&](AVPacket& p) { output.Write(p, audioOut, audioCoder->encoder().time_base); };
  auto route = [&](AVPacket& p) {
    CheckCancelled();
    const bool isVideo = p.stream_index == video_;
    const AVStream& stream = *format_.streams[p.stream_index];
    const StreamWindow& window = isVideo ? videoWindow : audioWindow;
    if (p.pts != AV_NOPTS_VALUE)
      lastSeconds = std::max(lastSeconds, Seconds(p.pts, stream.time_base) - fileStart);
    if (isVideo && videoCoder) return videoCoder->Send(p, videoEncoded);
    if (!isVideo && audioCoder) return audioCoder->Send(p, audioEncoded);
    // Copied: what lies before the start cannot be shown (leading pictures of an open group,
    // sound ahead of the key frame) and is left out; the rest moves to the output's zero.
    if (p.pts != AV_NOPTS_VALUE && p.pts < window.firstPts) return;
    if (p.pts != AV_NOPTS_VALUE) p.pts -= window.originPts;
    if (p.dts != AV_NOPTS_VALUE) p.dts -= window.originPts;
    output.Write(p, isVideo ? videoOut : audioOut, stream.time_base);
  };
  for (Packet& p : early) route(*p);
  early.clear();
  while (ReadPacket()) {
    if (packet_->stream_index != video_ && packet_->stream_index != audio_) continue;
    route(*packet_);
  }
  CheckCancelled();
  if (videoCoder) videoCoder->Flush(videoEncoded);
  if (audioCoder) audioCoder->Flush(audioEncoded);
  output.Finish();
  result.bytesWritten = output.bytesWritten();
  const double slack = std::max(kEarlyEndSlackSeconds, kEarlyEndSlackShare * fileDuration);
  if (fileDuration > 0 && lastSeconds + slack < fileDuration)
    throw MediaError("the file ends before its announced length");
}

}  // namespace

Converter::Converter(ByteSource source, ConvertOptions options)
    : source_(std::move(source)), options_(std::move(options)) {}

ConvertResult Converter::Run(const ByteSink& sink) {
  ConvertResult result;
  std::uint64_t written = 0;
  const ByteSink counting = [&](const char* data, std::size_t size) {
    if (!sink(data, size)) return false;
    written += size;
    return true;
  };
  try {
    MediaInput input(source_, &cancelled_);
    Conversion conversion(input, options_, cancelled_);
    conversion.Run(counting, result);
    result.ok = true;
  } catch (const MediaError& error) {
    result.error = error.what();
  } catch (const std::bad_alloc&) {
    result.error = "out of memory";
  }
  result.cancelled = cancelled_.load();
  if (result.cancelled) {
    result.ok = false;
    result.error = "cancelled";
  }
  result.bytesWritten = written;
  return result;
}

}  // namespace morvane::media
