#include "media/MediaProbe.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "media/MediaInput.h"
#include "media/StreamChoice.h"

namespace morvane::media {

namespace {

bool OneOf(std::string_view value, std::initializer_list<std::string_view> set) {
  return std::find(set.begin(), set.end(), value) != set.end();
}

StreamInfo DescribeStream(const AVStream& stream) {
  StreamInfo info;
  info.index = stream.index;
  const AVCodecParameters& p = *stream.codecpar;
  switch (p.codec_type) {
    case AVMEDIA_TYPE_VIDEO: info.kind = StreamKind::kVideo; break;
    case AVMEDIA_TYPE_AUDIO: info.kind = StreamKind::kAudio; break;
    case AVMEDIA_TYPE_SUBTITLE: info.kind = StreamKind::kSubtitle; break;
    default: info.kind = StreamKind::kOther; break;
  }
  info.codec = avcodec_get_name(p.codec_id);
  info.width = p.width;
  info.height = p.height;
  if (stream.avg_frame_rate.num > 0 && stream.avg_frame_rate.den > 0)
    info.framesPerSecond = av_q2d(stream.avg_frame_rate);
  if (stream.start_time != AV_NOPTS_VALUE)
    info.startSeconds = static_cast<double>(stream.start_time) * av_q2d(stream.time_base);
  info.channels = p.ch_layout.nb_channels;
  info.sampleRate = p.sample_rate;
  info.language = MetadataValue(stream.metadata, "language");
  if (info.language == "und") info.language.clear();
  info.title = MetadataValue(stream.metadata, "title");
  info.isDefault = (stream.disposition & AV_DISPOSITION_DEFAULT) != 0;
  info.copiesIntoMp4 = CopiesIntoMp4(stream);
  return info;
}

bool CanDecode(const std::string& codec) {
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get_by_name(codec.c_str());
  return descriptor != nullptr && avcodec_find_decoder(descriptor->id) != nullptr;
}

enum class Family { kMp4, kMatroska, kBareAudio, kOther };

Family ContainerFamily(std::string_view demuxer) {
  if (demuxer.starts_with("mov,mp4")) return Family::kMp4;
  if (demuxer == "matroska,webm") return Family::kMatroska;
  if (demuxer == "mp3" || demuxer == "aac") return Family::kBareAudio;
  return Family::kOther;
}

void Decide(MediaInfo& info) {
  const StreamInfo* video = nullptr;
  const StreamInfo* audio = nullptr;
  for (const StreamInfo& s : info.streams) {
    if (s.index == info.videoStream) video = &s;
    if (s.index == info.audioStream) audio = &s;
  }
  if (video == nullptr && audio == nullptr) {
    info.decision = Decision::kUnplayable;
    info.reason = "no video or audio stream";
    return;
  }
  const Family family = ContainerFamily(info.container);
  const bool videoOk = video == nullptr || BrowserPlaysVideo(video->codec);
  const bool audioOk = audio == nullptr || BrowserPlaysAudio(audio->codec);
  info.mimeType = "video/mp4";

  const bool webmCodecs = (video == nullptr || OneOf(video->codec, {"vp8", "vp9", "av1"})) &&
                          (audio == nullptr || OneOf(audio->codec, {"vorbis", "opus"}));
  const bool mp4Codecs = (video == nullptr || OneOf(video->codec, {"h264", "vp9", "av1"})) &&
                         (audio == nullptr || OneOf(audio->codec, {"aac", "mp3", "opus"}));
  if (family == Family::kMatroska && webmCodecs) {
    info.decision = Decision::kPlayable;
    info.mimeType = video != nullptr ? "video/webm" : "audio/webm";
    info.reason = "WebM codecs";
    return;
  }
  if (family == Family::kMp4 && mp4Codecs) {
    info.decision = Decision::kPlayable;
    info.mimeType = video != nullptr ? "video/mp4" : "audio/mp4";
    info.reason = "MP4 with browser codecs";
    return;
  }
  if (family == Family::kBareAudio && video == nullptr && audioOk) {
    info.decision = Decision::kPlayable;
    info.mimeType = info.container == "mp3" ? "audio/mpeg" : "audio/aac";
    info.reason = "bare audio file";
    return;
  }
  if (video != nullptr && !videoOk && !CanDecode(video->codec)) {
    info.decision = Decision::kUnplayable;
    info.reason = "no decoder for video codec " + video->codec;
    return;
  }
  if (video != nullptr && !(videoOk && video->copiesIntoMp4)) {
    info.decision = Decision::kConvertVideo;
    info.reason = "video codec " + video->codec + " is re-encoded to H.264";
    return;
  }
  if (audio != nullptr && !(audioOk && audio->copiesIntoMp4)) {
    info.decision = Decision::kConvertAudio;
    info.reason = "audio codec " + audio->codec + " is re-encoded to AAC";
    return;
  }
  info.decision = Decision::kRemux;
  info.reason = "browser codecs in " + info.container + ": rewrapped as fragmented MP4";
}

}  // namespace

const char* DecisionName(Decision decision) {
  switch (decision) {
    case Decision::kPlayable: return "playable";
    case Decision::kRemux: return "remux";
    case Decision::kConvertAudio: return "convert-audio";
    case Decision::kConvertVideo: return "convert-video";
    case Decision::kUnplayable: return "unplayable";
  }
  return "unplayable";
}

bool CopiesIntoMp4(const AVStream& stream) {
  const AVCodecParameters& p = *stream.codecpar;
  switch (p.codec_id) {
    case AV_CODEC_ID_H264:
    case AV_CODEC_ID_VP9:
    case AV_CODEC_ID_AV1:
      return p.codec_type == AVMEDIA_TYPE_VIDEO;
    case AV_CODEC_ID_AAC:
      return p.extradata_size > 0;
    case AV_CODEC_ID_MP3:
    case AV_CODEC_ID_OPUS:
      return true;
    default:
      return false;
  }
}

bool BrowserPlaysVideo(const std::string& codec) { return OneOf(codec, {"h264", "vp8", "vp9", "av1"}); }

bool BrowserPlaysAudio(const std::string& codec) {
  return OneOf(codec, {"aac", "mp3", "vorbis", "opus"});
}

MediaInfo ProbeMedia(const ByteSource& source, const std::atomic<bool>* cancelled) {
  MediaInfo info;
  try {
    MediaInput input(source, cancelled);
    const AVFormatContext& format = *input.format();
    info.container = format.iformat->name;
    if (format.duration > 0) info.durationSeconds = static_cast<double>(format.duration) / AV_TIME_BASE;
    for (unsigned i = 0; i < format.nb_streams; ++i) info.streams.push_back(DescribeStream(*format.streams[i]));
    info.videoStream = ChooseVideoStream(format);
    info.audioStream = ChooseAudioStream(format);
    Decide(info);
  } catch (const MediaError& error) {
    info.decision = Decision::kUnplayable;
    info.reason = error.what();
  } catch (const std::bad_alloc&) {
    info.decision = Decision::kUnplayable;
    info.reason = "out of memory";
  }
  return info;
}

}  // namespace morvane::media
