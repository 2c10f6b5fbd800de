#include "stream/VideoFiles.h"

#include <cctype>
#include <string_view>

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

int ChooseVideo(const std::vector<TorrentFile>& files) {
  int best = -1;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i].pad || !IsVideoName(files[i].name)) continue;
    if (best < 0 || files[i].size > files[static_cast<std::size_t>(best)].size) best = static_cast<int>(i);
  }
  return best;
}

bool NamesFile(const std::string& namePart, const std::string& fileName) {
  const std::string name = namePart.substr(0, namePart.find_first_of("?#"));
  return name.empty() || PercentDecode(name) == fileName;
}

}  // namespace morvane::stream
