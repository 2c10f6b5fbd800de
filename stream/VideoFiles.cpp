#include "stream/VideoFiles.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <unordered_map>

#include "media/EpisodeNames.h"
#include "stream/Links.h"

namespace morvane::stream {

namespace {

struct MediaType {
  std::string_view extension;
  std::string_view type;
  bool video;
};

constexpr MediaType kMediaTypes[] = {
    {"mp4", "video/mp4", true},         {"m4v", "video/mp4", true},
    {"mkv", "video/x-matroska", true},  {"webm", "video/webm", true},
    {"avi", "video/x-msvideo", true},   {"mov", "video/quicktime", true},
    {"wmv", "video/x-ms-wmv", true},    {"flv", "video/x-flv", true},
    {"ts", "video/mp2t", true},         {"m2ts", "video/mp2t", true},
    {"mpg", "video/mpeg", true},        {"mpeg", "video/mpeg", true},
    {"rmvb", "application/vnd.rn-realmedia-vbr", true},
    {"rm", "application/vnd.rn-realmedia", true},
    {"3gp", "video/3gpp", true},        {"ogv", "video/ogg", true},
    {"mp3", "audio/mpeg", false},       {"m4a", "audio/mp4", false},
    {"aac", "audio/aac", false},        {"ogg", "audio/ogg", false},
    {"flac", "audio/flac", false},      {"srt", "text/plain", false},
    {"txt", "text/plain", false},
};

std::string LowerExtension(const std::string& name) {
  const auto dot = name.rfind('.');
  const auto slash = name.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string extension = name.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

// An index of at most this many digits: more is no file of any torrent, and cannot overflow.
constexpr std::size_t kMostIndexDigits = 12;

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

bool ReadIndex(std::string_view text, std::int64_t& value) {
  text = Trimmed(text);
  if (text.empty() || text.size() > kMostIndexDigits) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= 0;
}

std::string_view FileNameOf(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

const MediaType* Find(const std::string& name) {
  const std::string extension = LowerExtension(name);
  for (const MediaType& m : kMediaTypes)
    if (m.extension == extension) return &m;
  return nullptr;
}

}  // namespace

std::string MediaTypeOf(const std::string& fileName) {
  const MediaType* m = Find(fileName);
  return m ? std::string(m->type) : "application/octet-stream";
}

bool IsVideoName(const std::string& fileName) {
  const MediaType* m = Find(fileName);
  return m && m->video;
}

bool IsVideo(const TorrentFile& file) {
  return file.size > 0 && IsVideoName(std::string(FileNameOf(file.path)));
}

SelectOnly ParseSelectOnly(std::string_view link) {
  SelectOnly selection;
  for (std::size_t at = link.find("so="); at != std::string_view::npos;
       at = link.find("so=", at + 3)) {
    if (at == 0 || (link[at - 1] != '?' && link[at - 1] != '&' && link[at - 1] != '#')) continue;
    std::string_view value = link.substr(at + 3);
    value = value.substr(0, value.find_first_of("&#"));
    // Written "0%2C2" by tools that escape every comma.
    const std::string list = PercentDecode(std::string(value));
    std::string_view rest = list;
    while (!rest.empty()) {
      const auto comma = rest.find(',');
      const std::string_view item = rest.substr(0, comma);
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      const auto dash = item.find('-');
      std::int64_t low = 0, high = 0;
      if (dash == std::string_view::npos) {
        if (ReadIndex(item, low)) selection.ranges.emplace_back(low, low);
      } else if (ReadIndex(item.substr(0, dash), low) && ReadIndex(item.substr(dash + 1), high) &&
                 low <= high) {
        selection.ranges.emplace_back(low, high);
      }
    }
    break;  // the first "so=" is the link's
  }
  return selection;
}

int ChooseVideo(const std::vector<TorrentFile>& files, const SelectOnly& selection) {
  std::vector<int> videos;  // indices, ascending
  for (const TorrentFile& file : files)
    if (IsVideo(file)) videos.push_back(file.index);
  std::sort(videos.begin(), videos.end());
  // A range is looked up, never walked: "so=0-4000000000" costs no more than "so=0".
  for (const auto& [low, high] : selection.ranges) {
    const auto first =
        std::lower_bound(videos.begin(), videos.end(), low,
                         [](int index, std::int64_t value) { return index < value; });
    if (first != videos.end() && *first <= high) return *first;
  }
  const TorrentFile* largest = nullptr;
  for (const TorrentFile& file : files)
    if (IsVideo(file) && (!largest || file.size > largest->size ||
                          (file.size == largest->size && file.index < largest->index)))
      largest = &file;
  return largest ? largest->index : -1;
}

std::vector<int> EpisodeOrder(const std::vector<TorrentFile>& files) {
  struct Place {
    int group;  // 0: an episode, 1: another video, 2: a sample clip
    media::EpisodeNumber number;
    const TorrentFile* file;
  };
  std::vector<Place> places;
  for (const TorrentFile& file : files) {
    if (!IsVideo(file)) continue;
    const media::EpisodeNumber number = media::EpisodeOf(file.path);
    const int group = media::IsSampleName(file.path) ? 2 : number.known() ? 0 : 1;
    places.push_back({group, number, &file});
  }
  std::sort(places.begin(), places.end(), [](const Place& a, const Place& b) {
    if (a.group != b.group) return a.group < b.group;
    if (a.group == 0) {
      // An episode without a season ("E03" beside "S01E02") counts as season 0.
      const auto key = [](const media::EpisodeNumber& n) {
        return std::pair(std::max(0, n.season), n.episode);
      };
      if (key(a.number) != key(b.number)) return key(a.number) < key(b.number);
    }
    if (const int c = media::CompareNatural(a.file->path, b.file->path); c != 0) return c < 0;
    return a.file->index < b.file->index;
  });
  std::vector<int> order;
  for (const Place& place : places) order.push_back(place.file->index);
  return order;
}

std::string AddressName(const std::vector<TorrentFile>& files, int index) {
  const auto file = std::find_if(files.begin(), files.end(),
                                 [index](const TorrentFile& f) { return f.index == index; });
  if (file == files.end()) return {};
  const std::string_view name = FileNameOf(file->path);
  const auto same = std::count_if(files.begin(), files.end(), [name](const TorrentFile& f) {
    return FileNameOf(f.path) == name;
  });
  return same == 1 ? std::string(name) : file->path;
}

std::vector<std::string> AddressNames(const std::vector<TorrentFile>& files) {
  std::unordered_map<std::string_view, int> sameName;
  for (const TorrentFile& file : files) ++sameName[FileNameOf(file.path)];
  std::vector<std::string> names;
  names.reserve(files.size());
  for (const TorrentFile& file : files) {
    const std::string_view name = FileNameOf(file.path);
    names.push_back(sameName[name] == 1 ? std::string(name) : file.path);
  }
  return names;
}

int VideoNamed(const std::vector<TorrentFile>& files, std::string_view name) {
  if (name.empty()) return -1;
  const TorrentFile* byName = nullptr;
  int sameName = 0;
  for (const TorrentFile& file : files) {
    if (file.path == name) return IsVideo(file) ? file.index : -1;
    if (FileNameOf(file.path) == name) {
      byName = &file;
      ++sameName;
    }
  }
  return sameName == 1 && IsVideo(*byName) ? byName->index : -1;
}

int VideoOfAddress(const std::vector<TorrentFile>& files, std::string_view namePart, int playing) {
  const std::string_view name = namePart.substr(0, namePart.find_first_of("?#"));
  return name.empty() ? playing : VideoNamed(files, PercentDecode(std::string(name)));
}

}  // namespace morvane::stream
