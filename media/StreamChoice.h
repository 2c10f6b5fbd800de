#pragma once
// Which video and audio streams of a file are played, and where its time line begins: the
// converter, the probe and the subtitles must agree on them.

#include "media/Libav.h"

namespace morvane::media {

// The container's index of the stream, or -1. Cover pictures (attached images) are not video.
int ChooseVideoStream(const AVFormatContext& format);
int ChooseAudioStream(const AVFormatContext& format);

// Time zero of the player's time line, in AV_TIME_BASE units: the file's start time (an
// MPEG-TS often starts at a second or more), or 0 when that is negative (the sound
// encoder's priming samples before the first picture are not shown).
std::int64_t TimelineZero(const AVFormatContext& format);

}  // namespace morvane::media
