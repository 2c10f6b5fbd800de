#include "media/EpisodeNames.h"

#include <array>
#include <cctype>
#include <utility>

#include "media/SubtitleText.h"

namespace morvane::media {

namespace {

// Larger numbers in a name are years, resolutions or codecs, not episodes.
constexpr int kMostEpisodeDigits = 4;
constexpr int kMostSeasonDigits = 2;

bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string_view LastPart(std::string_view path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The run of digits at `at`: its value and its length (0 when there is none or it is longer
// than `most`, or runs on past `most` digits).
std::pair<int, std::size_t> DigitsAt(std::string_view text, std::size_t at, int most) {
  std::size_t end = at;
  int value = 0;
  while (end < text.size() && Digit(text[end])) {
    if (static_cast<int>(end - at) == most) return {0, 0};
    value = value * 10 + (text[end] - '0');
    ++end;
  }
  return {value, end - at};
}

// "s01e02", "s1.e2", "s01 e02": both numbers, at a word's start.
EpisodeNumber SeasonAndEpisode(std::string_view name) {
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    if (name[i] != 's' || (i > 0 && Letter(name[i - 1]))) continue;
    const auto [season, seasonDigits] = DigitsAt(name, i + 1, kMostSeasonDigits);
    if (seasonDigits == 0) continue;
    std::size_t at = i + 1 + seasonDigits;
    if (at < name.size() && (name[at] == '.' || name[at] == ' ' || name[at] == '_' || name[at] == '-')) ++at;
    if (at >= name.size() || name[at] != 'e') continue;
    const auto [episode, episodeDigits] = DigitsAt(name, at + 1, kMostEpisodeDigits);
    if (episodeDigits > 0) return {season, episode};
  }
  return {};
}

// "1x02", with neither side part of a longer word or number (not "1920x1080", "x264").
EpisodeNumber CrossForm(std::string_view name) {
  for (std::size_t x = 1; x + 1 < name.size(); ++x) {
    if (name[x] != 'x' || !Digit(name[x - 1])) continue;
    std::size_t first = x;
    while (first > 0 && Digit(name[first - 1])) --first;
    if (x - first > kMostSeasonDigits || (first > 0 && (Letter(name[first - 1]) || Digit(name[first - 1]))))
      continue;
    const auto [episode, digits] = DigitsAt(name, x + 1, 3);
    if (digits == 0) continue;
    const std::size_t after = x + 1 + digits;
    if (after < name.size() && Letter(name[after])) continue;
    return {DigitsAt(name, first, kMostSeasonDigits).first, episode};
  }
  return {};
}

// A Chinese numeral ("十二", "二十三", "一百零五") or ASCII digits at `at`; its value and the
// bytes it takes, or {-1, 0}.
std::pair<int, std::size_t> NumberAt(std::string_view text, std::size_t at) {
  if (at < text.size() && Digit(text[at])) {
    const auto [value, digits] = DigitsAt(text, at, kMostEpisodeDigits);
    return digits > 0 ? std::pair<int, std::size_t>{value, digits} : std::pair<int, std::size_t>{-1, 0};
  }
  static const std::array<std::pair<std::string_view, int>, 13> kNumerals{{
      {"零", 0}, {"〇", 0}, {"一", 1}, {"二", 2}, {"两", 2}, {"三", 3}, {"四", 4}, {"五", 5},
      {"六", 6}, {"七", 7}, {"八", 8}, {"九", 9}, {"十", -10}}};
  int total = 0, current = 0;
  std::size_t end = at;
  for (bool more = true; more;) {
    more = false;
    if (text.substr(end).starts_with("百")) {
      total += (current == 0 ? 1 : current) * 100;
      current = 0;
      end += std::string_view("百").size();
      more = true;
      continue;
    }
    for (const auto& [numeral, value] : kNumerals) {
      if (!text.substr(end).starts_with(numeral)) continue;
      if (value == -10) {
        total += (current == 0 ? 1 : current) * 10;
        current = 0;
      } else {
        current = value;
      }
      end += numeral.size();
      more = true;
      break;
    }
  }
  if (end == at) return {-1, 0};
  return {total + current, end - at};
}

// "第2集", "第 10 话", "第二季第三集".
EpisodeNumber ChineseForm(std::string_view name) {
  EpisodeNumber found;
  const std::string_view mark = "第";
  for (std::size_t at = name.find(mark); at != std::string_view::npos; at = name.find(mark, at + 1)) {
    std::size_t i = at + mark.size();
    while (i < name.size() && name[i] == ' ') ++i;
    const auto [value, length] = NumberAt(name, i);
    if (length == 0) continue;
    i += length;
    while (i < name.size() && name[i] == ' ') ++i;
    const std::string_view rest = name.substr(i);
    if (rest.starts_with("季") || rest.starts_with("部")) {
      found.season = value;
    } else if (rest.starts_with("集") || rest.starts_with("话") || rest.starts_with("話") ||
               rest.starts_with("回") || rest.starts_with("期")) {
      if (found.episode < 0) found.episode = value;
    }
  }
  return found.known() ? found : EpisodeNumber{};
}

// "e02", "ep02", "ep.02", "episode 2" at a word's start.
EpisodeNumber EpisodeWord(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] != 'e' || (i > 0 && Letter(name[i - 1]))) continue;
    std::size_t at = i + 1;
    for (const std::string_view word : {"pisode", "p"})
      if (name.substr(at).starts_with(word)) {
        at += word.size();
        break;
      }
    if (at < name.size() && (name[at] == '.' || name[at] == ' ' || name[at] == '_')) ++at;
    const auto [episode, digits] = DigitsAt(name, at, kMostEpisodeDigits);
    if (digits > 0) return {-1, episode};
  }
  return {};
}

// "[Group] Title - 02 [1080p]" and "Title [02]": a lone number set off as fansub releases
// write it.
EpisodeNumber SetOffNumber(std::string_view name) {
  for (std::size_t at = name.find(" - "); at != std::string_view::npos; at = name.find(" - ", at + 1)) {
    // Three digits at most: " - 2010" is a year.
    const auto [episode, digits] = DigitsAt(name, at + 3, 3);
    const std::size_t after = at + 3 + digits;
    if (digits > 0 && (after == name.size() || !(Letter(name[after]) || Digit(name[after]))))
      return {-1, episode};
  }
  for (std::size_t at = name.find('['); at != std::string_view::npos; at = name.find('[', at + 1)) {
    const auto [episode, digits] = DigitsAt(name, at + 1, 3);
    if (digits > 0 && at + 1 + digits < name.size() && name[at + 1 + digits] == ']') return {-1, episode};
  }
  return {};
}

}  // namespace

std::string StemOf(std::string_view path) {
  const std::string_view last = LastPart(path);
  const auto dot = last.rfind('.');
  return std::string(dot == std::string_view::npos || dot == 0 ? last : last.substr(0, dot));
}

EpisodeNumber EpisodeOf(std::string_view path) {
  const std::string name = AsciiLower(StemOf(path));
  for (const auto form : {SeasonAndEpisode, CrossForm, ChineseForm, EpisodeWord, SetOffNumber})
    if (const EpisodeNumber found = form(name); found.known()) return found;
  return {};
}

int CompareNatural(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (Digit(a[i]) && Digit(b[j])) {
      std::size_t endA = i, endB = j;
      while (endA < a.size() && Digit(a[endA])) ++endA;
      while (endB < b.size() && Digit(b[endB])) ++endB;
      std::size_t valueA = i, valueB = j;  // past the leading zeros
      while (valueA + 1 < endA && a[valueA] == '0') ++valueA;
      while (valueB + 1 < endB && b[valueB] == '0') ++valueB;
      const std::size_t lengthA = endA - valueA, lengthB = endB - valueB;
      if (lengthA != lengthB) return lengthA < lengthB ? -1 : 1;
      if (const int c = a.substr(valueA, lengthA).compare(b.substr(valueB, lengthB)); c != 0) return c;
      i = endA;
      j = endB;
      continue;
    }
    const auto ca = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(a[i])));
    const auto cb = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(b[j])));
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
  return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
}

bool IsSampleName(std::string_view path) {
  std::string part;
  const auto isSample = [&part] { return AsciiLower(part) == "sample"; };
  for (const char c : path) {
    if (Letter(c) || Digit(c) || static_cast<unsigned char>(c) >= 0x80) {
      part.push_back(c);
      continue;
    }
    if (isSample()) return true;
    part.clear();
  }
  return isSample();
}

}  // namespace morvane::media
