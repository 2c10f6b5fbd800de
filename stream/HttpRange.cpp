#include "stream/HttpRange.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>

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

bool ReadNumber(std::string_view text, std::int64_t& value) {
  // Digits only: from_chars would take a sign, and "bytes=--5" would become the last -5 bytes.
  if (text.empty() || text.size() > 18 ||
      !std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }))
    return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

RangeResult ParseRange(const std::string& header, std::int64_t size, ByteRange& range) {
  range = {0, size};
  std::string_view text(header);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (!text.starts_with("bytes=")) return RangeResult::kWhole;
  text.remove_prefix(6);
  const auto dash = text.find('-');
  if (dash == std::string_view::npos || text.find(',') != std::string_view::npos)
    return RangeResult::kWhole;
  const std::string_view first = text.substr(0, dash);
  const std::string_view last = text.substr(dash + 1);
  std::int64_t a = 0, b = 0;
  if (first.empty()) {  // the last N bytes
    if (!ReadNumber(last, b)) return RangeResult::kWhole;
    if (b == 0 || size == 0) return RangeResult::kUnsatisfiable;
    range = {std::max<std::int64_t>(0, size - b), size};
    return RangeResult::kPartial;
  }
  if (!ReadNumber(first, a)) return RangeResult::kWhole;
  if (last.empty()) {
    b = size - 1;
  } else if (!ReadNumber(last, b) || b < a) {
    return RangeResult::kWhole;
  }
  if (a >= size) return RangeResult::kUnsatisfiable;
  range = {a, std::min(b, size - 1) + 1};
  return RangeResult::kPartial;
}

std::string MediaTypeOf(const std::string& fileName) {
  const MediaType* m = Find(fileName);
  return m ? std::string(m->type) : "application/octet-stream";
}

bool IsVideoName(const std::string& fileName) {
  const MediaType* m = Find(fileName);
  return m && m->video;
}

}  // namespace morvane::stream
