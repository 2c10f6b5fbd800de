#include "media/SubtitleOrder.h"

#include <algorithm>
#include <cctype>

#include "media/EpisodeNames.h"
#include "media/SubtitleText.h"

namespace morvane::media {

namespace {

bool IsChineseTag(std::string_view tag) {
  const std::string lower = AsciiLower(tag);
  for (const char* known : {"zh", "zho", "chi", "chs", "cht", "chn", "cn", "sc", "tc", "gb", "big5",
                            "chinese", "zh-hans", "zh-hant", "zh-cn", "zh-tw", "zh-hk", "zh_cn", "zh_tw"})
    if (lower == known) return true;
  return lower.starts_with("zh-") || lower.starts_with("zh_");
}

// The parts of a file name between dots, dashes, underscores, spaces and brackets.
std::vector<std::string> NameParts(std::string_view label) {
  std::vector<std::string> parts;
  std::string part;
  for (const char c : label) {
    if (c == '.' || c == '_' || c == ' ' || c == '[' || c == ']' || c == '(' || c == ')' || c == '-') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

std::string_view ParentFolder(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  const std::string_view folders = path.substr(0, slash);
  const auto before = folders.rfind('/');
  return before == std::string_view::npos ? folders : folders.substr(before + 1);
}

// How strongly a subtitle's name ties it to a video: 0 not at all, 1 the same episode
// number, more when it is named after the video ("Show.S01E02" for "Show.S01E02.chs.srt",
// or a folder of that name holding it), the longer the name the stronger.
std::size_t Tie(std::string_view subtitle, std::string_view video) {
  const std::string videoStem = AsciiLower(StemOf(video));
  const std::string stem = AsciiLower(StemOf(subtitle));
  const std::string folder = AsciiLower(ParentFolder(subtitle));
  for (const std::string& name : {stem, folder}) {
    if (name.empty() || !name.starts_with(videoStem)) continue;
    // "Show.S01E1" is not named after "Show.S01E10", nor "Show.S01E10" after "Show.S01E1".
    if (name.size() == videoStem.size() || std::string_view(".-_ [(").find(name[videoStem.size()]) != std::string_view::npos)
      return 2 + videoStem.size();
  }
  EpisodeNumber number = EpisodeOf(subtitle);
  if (!number.known()) number = EpisodeOf(ParentFolder(subtitle));
  const EpisodeNumber videoNumber = EpisodeOf(video);
  if (!number.known() || !videoNumber.known() || number.episode != videoNumber.episode) return 0;
  return number.season < 0 || videoNumber.season < 0 || number.season == videoNumber.season ? 1 : 0;
}

}  // namespace

bool IsChinese(const SubtitleChoice& choice) {
  if (!choice.language.empty()) return IsChineseTag(choice.language);
  for (const char* word : {"中文", "简体", "繁体", "简中", "繁中", "中字", "双语", "中英", "國語", "国语"})
    if (choice.label.find(word) != std::string::npos) return true;
  // "zh-Hans" splits into "zh" and "Hans": its first part is enough.
  const auto parts = NameParts(choice.label);
  for (std::size_t i = 1; i < parts.size(); ++i)  // the first part is the film's own name
    if (IsChineseTag(parts[i])) return true;
  return false;
}

void OrderSubtitles(std::vector<SubtitleChoice>& choices) {
  std::stable_partition(choices.begin(), choices.end(),
                        [](const SubtitleChoice& c) { return IsChinese(c); });
}

std::vector<SubtitleMatch> SubtitlesForVideo(std::string_view video, const std::vector<std::string>& videos,
                                             const std::vector<std::string>& subtitles) {
  std::vector<SubtitleMatch> own, shared;
  for (std::size_t i = 0; i < subtitles.size(); ++i) {
    if (videos.size() <= 1) {
      own.push_back({i, SubtitleFit::kOwn});
      continue;
    }
    std::size_t best = 0;
    for (const std::string& other : videos) best = std::max(best, Tie(subtitles[i], other));
    if (best == 0) {
      // Named for an episode, just not one of these: offered with none.
      if (!EpisodeOf(subtitles[i]).known() && !EpisodeOf(ParentFolder(subtitles[i])).known())
        shared.push_back({i, SubtitleFit::kShared});
    }
    else if (Tie(subtitles[i], video) == best)  // ties go with every video they tie with
      own.push_back({i, SubtitleFit::kOwn});
  }
  own.insert(own.end(), shared.begin(), shared.end());
  return own;
}

}  // namespace morvane::media
