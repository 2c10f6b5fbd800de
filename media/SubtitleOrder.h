#pragma once
// The order in which the player lists subtitles: Chinese ones first (most of our users read
// Chinese), otherwise as found.

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

}  // namespace morvane::media
