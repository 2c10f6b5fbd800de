#pragma once
// Text subtitle tracks inside a media file (Matroska's SubRip, SubStation Alpha and WebVTT
// tracks, MP4's timed text) taken out as WebVTT.
//
// Subtitle packets are spread through the whole file, so a track is complete only once the
// whole file has been read: through a torrent's byte source this waits for the download.

#include <atomic>
#include <string>
#include <vector>

#include "media/ByteSource.h"
#include "media/WebVtt.h"

namespace morvane::media {

struct EmbeddedSubtitle {
  int streamIndex = -1;
  std::string codec;
  std::string language;
  std::string title;
  bool isText = false;  // picture subtitles (DVD, Blu-ray) cannot become WebVTT
};

// The subtitle tracks of the file, in the container's order; empty when it cannot be read.
std::vector<EmbeddedSubtitle> ListEmbeddedSubtitles(const ByteSource& source,
                                                    const std::atomic<bool>* cancelled = nullptr);

// One track as WebVTT. Never throws; the error says why when not ok.
SubtitleConversion ExtractEmbeddedSubtitle(const ByteSource& source, int streamIndex,
                                           const std::atomic<bool>* cancelled = nullptr);

// Several tracks in one reading of the file, in the order asked for: a film with many
// tracks is read once, not once a track.
std::vector<SubtitleConversion> ExtractEmbeddedSubtitles(const ByteSource& source,
                                                         const std::vector<int>& streamIndices,
                                                         const std::atomic<bool>* cancelled = nullptr);

}  // namespace morvane::media
