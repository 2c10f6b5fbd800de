#pragma once
// What the names of a season's files say about their order: the season and episode a name
// carries ("Show.S01E02", "1x02", "第2集", "[Group] Show - 02"), and the natural order of
// names (E2 before E10). The episode list and the matching of subtitle files to episodes
// both read names this way.

#include <string>
#include <string_view>

namespace morvane::media {

struct EpisodeNumber {
  int season = -1;   // -1 when the name gives none
  int episode = -1;  // -1 when the name gives none
  bool known() const { return episode >= 0; }
  bool operator==(const EpisodeNumber&) const = default;
};

// The episode a file name (folders and extension allowed) names, from its last part.
EpisodeNumber EpisodeOf(std::string_view name);

// Natural order: runs of digits compare by their value, ASCII letters without case, other
// bytes as they are. Negative, zero or positive as strcmp.
int CompareNatural(std::string_view a, std::string_view b);

// The last part of a path, without its extension ("a/Show.E01.chs.srt" -> "Show.E01.chs").
std::string StemOf(std::string_view path);

// True when a part of the path (between separators) is "sample": a release's preview clip.
bool IsSampleName(std::string_view path);

}  // namespace morvane::media
