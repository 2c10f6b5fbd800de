#include "media/SubtitleOrder.h"

#include <algorithm>
#include <cctype>

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

}  // namespace morvane::media
