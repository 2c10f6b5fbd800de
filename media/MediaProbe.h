#pragma once
// What a media file holds and what the embedded browser needs done to play it.
//
// The browser (QtWebEngine 6.4) plays H.264 and AAC, VP8/VP9/AV1 with Vorbis or Opus, in MP4
// or WebM (and in Matroska when the codecs are WebM's), and bare MP3 and AAC files.

#include <atomic>
#include <string>
#include <vector>

#include "media/ByteSource.h"
#include "media/Libav.h"

namespace morvane::media {

enum class StreamKind { kVideo, kAudio, kSubtitle, kOther };

struct StreamInfo {
  int index = -1;            // the stream's index in the container
  StreamKind kind = StreamKind::kOther;
  std::string codec;         // libavcodec's short name: "h264", "hevc", "ac3", "subrip"
  int width = 0, height = 0;
  double framesPerSecond = 0;
  int channels = 0, sampleRate = 0;
  double startSeconds = 0;   // the stream's first time, 0 when the container does not say
  std::string language;      // the container's tag ("chi", "eng"), "" when none
  std::string title;
  bool isDefault = false;
  bool copiesIntoMp4 = false;  // goes into the converter's MP4 as it is (see CopiesIntoMp4)
};

enum class Decision {
  kPlayable,      // served as it stands
  kRemux,         // browser codecs in another container: rewrapped, nothing re-encoded
  kConvertAudio,  // the picture copied, the sound re-encoded
  kConvertVideo,  // the picture re-encoded (and the sound when it needs it)
  kUnplayable,    // unreadable, or nothing the converter can produce
};

const char* DecisionName(Decision decision);  // "playable", "remux", ...

struct MediaInfo {
  Decision decision = Decision::kUnplayable;
  std::string reason;        // why, in a short English phrase (the error when unplayable)
  std::string container;     // libavformat's demuxer name: "matroska,webm", "avi"
  std::string mimeType;      // what to serve a playable file as; "video/mp4" for converted output
  double durationSeconds = 0;
  std::vector<StreamInfo> streams;
  int videoStream = -1;      // the streams the converter takes (container indices), -1: none
  int audioStream = -1;
};

// Opens the file through its byte source and decides. Never throws: a file that cannot be
// read gives kUnplayable with the reason. `cancelled` (may be null) ends a blocked probe.
MediaInfo ProbeMedia(const ByteSource& source, const std::atomic<bool>* cancelled = nullptr);

// The codec sets behind the decision (libavcodec short names).
bool BrowserPlaysVideo(const std::string& codec);
bool BrowserPlaysAudio(const std::string& codec);
// What a fragmented MP4 carries and the browser plays from it (copied, not re-encoded):
// H.264, VP9, AV1, AAC, MP3, Opus. AAC also needs its configuration in the stream's
// parameters: AAC framed for broadcast (ADTS, as in MPEG-TS) has it only in each frame,
// too late for an index written before the first sample, and is re-encoded.
bool CopiesIntoMp4(const AVStream& stream);

}  // namespace morvane::media
