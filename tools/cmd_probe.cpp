// morvane-tool probe FILE: what the media file holds and what the player needs done to it,
// one "key: value" line each, then one line a stream. Exit code 1 when it cannot play.

#include <cstdio>

#include "media/MediaProbe.h"
#include "media/Libav.h"
#include "tools/Commands.h"

namespace morvane::tool {
namespace {

const char* KindName(media::StreamKind kind) {
  switch (kind) {
    case media::StreamKind::kVideo: return "video";
    case media::StreamKind::kAudio: return "audio";
    case media::StreamKind::kSubtitle: return "subtitle";
    case media::StreamKind::kOther: return "other";
  }
  return "other";
}

int RunProbe(const Arguments& arguments) {
  if (arguments.size() != 1) {
    std::fprintf(stderr, "usage: morvane-tool probe FILE\n");
    return 2;
  }
  media::QuietLibavLog();
  const media::MediaInfo info = media::ProbeMedia(media::FileByteSource(arguments[0]));
  std::printf("decision: %s\nreason: %s\ncontainer: %s\nmime: %s\nduration: %.3f\n",
              media::DecisionName(info.decision), info.reason.c_str(), info.container.c_str(),
              info.mimeType.c_str(), info.durationSeconds);
  for (const media::StreamInfo& s : info.streams) {
    std::printf("stream %d: %s %s", s.index, KindName(s.kind), s.codec.c_str());
    if (s.kind == media::StreamKind::kVideo) std::printf(" %dx%d %.3ffps", s.width, s.height, s.framesPerSecond);
    if (s.kind == media::StreamKind::kAudio) std::printf(" %dch %dHz", s.channels, s.sampleRate);
    if (!s.language.empty()) std::printf(" lang=%s", s.language.c_str());
    if (s.index == info.videoStream || s.index == info.audioStream) std::printf(" (played)");
    std::printf("\n");
  }
  return info.decision == media::Decision::kUnplayable ? 1 : 0;
}

const RegisterCommand kProbe{"probe", "FILE",
                             "prints a media file's streams and whether it plays, remuxes or converts",
                             &RunProbe};

}  // namespace
}  // namespace morvane::tool
