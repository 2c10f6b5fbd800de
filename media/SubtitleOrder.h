#pragma once
// The order in which the player lists subtitles: Chinese ones first (most of our users read
// Chinese), otherwise as found; and which subtitle files of a season pack go with which
// episode.

#include <string>
#include <string_view>
#include <vector>

namespace morvane::media {

struct SubtitleChoice {
  std::string label;     // what the player shows: a file name or a track title
  std::string language;  // a language tag ("chi", "zh-CN", "eng"), "" when unknown
};

// By the tag ("zh", "zho", "chi", "chs", "cht", "zh-*") or, without one, by the label: a
// Chinese word in it, or a name part such as ".chs." or "_zh-Hans." before the extension.
bool IsChinese(const SubtitleChoice& choice);

// Chinese first, the order found kept within each group.
void OrderSubtitles(std::vector<SubtitleChoice>& choices);

// How a subtitle file relates to the video it is offered with.
enum class SubtitleFit {
  kOwn,    // named for this video: "Show.S01E02.chs.srt", "Subs/Show.S01E02/eng.srt", or the
           // same episode number
  kShared, // named for no episode at all: offered with every video, after their own
};

struct SubtitleMatch {
  std::size_t position = 0;  // in the subtitles handed in
  SubtitleFit fit = SubtitleFit::kOwn;
};

// The subtitle files (paths in the torrent) that go with `video`, one of the torrent's
// `videos`: those named for it, then those named for no episode, each group in the order
// handed in. A subtitle named for another episode is left out. With a single video, every
// subtitle goes with it.
std::vector<SubtitleMatch> SubtitlesForVideo(std::string_view video, const std::vector<std::string>& videos,
                                             const std::vector<std::string>& subtitles);

}  // namespace morvane::media
