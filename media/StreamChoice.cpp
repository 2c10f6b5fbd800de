#include "media/StreamChoice.h"

#include <algorithm>

namespace morvane::media {

int ChooseVideoStream(const AVFormatContext& format) {
  int chosen = -1;
  for (unsigned i = 0; i < format.nb_streams; ++i) {
    const AVStream& s = *format.streams[i];
    if (s.codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    if ((s.disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) continue;
    if (s.codecpar->width <= 0 || s.codecpar->height <= 0) continue;
    if (chosen < 0 || (s.disposition & AV_DISPOSITION_DEFAULT) != 0) {
      if (chosen < 0 || (format.streams[chosen]->disposition & AV_DISPOSITION_DEFAULT) == 0)
        chosen = static_cast<int>(i);
    }
  }
  return chosen;
}

// The default audio stream, else the first; a stream libavcodec cannot decode is passed over
// because it could neither be played nor converted.
int ChooseAudioStream(const AVFormatContext& format) {
  int chosen = -1;
  for (unsigned i = 0; i < format.nb_streams; ++i) {
    const AVStream& s = *format.streams[i];
    if (s.codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    if (avcodec_find_decoder(s.codecpar->codec_id) == nullptr) continue;
    if (chosen < 0 || ((s.disposition & AV_DISPOSITION_DEFAULT) != 0 &&
                       (format.streams[chosen]->disposition & AV_DISPOSITION_DEFAULT) == 0))
      chosen = static_cast<int>(i);
  }
  return chosen;
}

std::int64_t TimelineZero(const AVFormatContext& format) {
  return format.start_time == AV_NOPTS_VALUE ? 0 : std::max<std::int64_t>(0, format.start_time);
}

}  // namespace morvane::media
