#include "cast/SinkMatch.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace morvane::cast {

namespace {

struct Family {
  std::string_view name;
  std::vector<std::string_view> mimeTypes;
};

// The spellings renderers use for one kind of file or codec; the first is the usual one.
const std::vector<Family>& Containers() {
  static const std::vector<Family> families = {
      {"mp4", {"video/mp4", "video/quicktime", "video/x-m4v", "video/x-mp4", "video/x-quicktime"}},
      {"matroska", {"video/x-matroska", "video/x-mkv", "video/mkv", "video/matroska"}},
      {"webm", {"video/webm"}},
      {"mpegts", {"video/mp2t", "video/mpegts", "video/vnd.dlna.mpeg-tts", "video/x-mpegts"}},
      {"mpeg", {"video/mpeg", "video/x-mpeg", "video/mpeg2"}},
      {"avi", {"video/x-msvideo", "video/avi", "video/msvideo", "video/x-avi"}},
      {"flv", {"video/x-flv", "video/flv"}},
      {"asf", {"video/x-ms-wmv", "video/x-ms-asf", "video/wmv"}},
  };
  return families;
}

const std::vector<Family>& Codecs() {
  static const std::vector<Family> families = {
      {"h264", {"video/x-h264", "video/h264", "video/avc"}},
      {"hevc", {"video/x-h265", "video/h265", "video/hevc"}},
      {"vp8", {"video/x-vp8", "video/vp8"}},
      {"vp9", {"video/x-vp9", "video/vp9"}},
      {"av1", {"video/x-av1", "video/av1"}},
      {"mpeg2video", {"video/x-mpeg2", "video/mpeg2-es"}},
      {"mpeg4", {"video/mp4v-es", "video/x-divx", "video/x-xvid"}},
      {"aac", {"audio/aac", "audio/x-aac", "audio/mp4", "audio/x-m4a", "audio/m4a"}},
      {"mp3", {"audio/mpeg", "audio/mp3", "audio/x-mpeg", "audio/mpeg3"}},
      {"ac3", {"audio/ac3", "audio/x-ac3"}},
      {"eac3", {"audio/eac3", "audio/x-eac3"}},
      {"dts", {"audio/x-dts", "audio/dts", "audio/vnd.dts"}},
      {"opus", {"audio/opus", "audio/x-opus"}},
      {"vorbis", {"audio/vorbis", "audio/x-vorbis"}},
      {"flac", {"audio/flac", "audio/x-flac"}},
  };
  return families;
}

// What a DLNA profile name ("AVC_MP4_HP_HD_AAC", "MPEG_TS_HD_NA") says its files carry.
bool ProfileCarries(std::string_view profile, std::string_view codec) {
  const auto has = [&](std::string_view part) { return profile.find(part) != std::string_view::npos; };
  if (codec == "h264") return profile.starts_with("AVC_");
  if (codec == "hevc") return profile.starts_with("HEVC_");
  if (codec == "mpeg2video") return profile.starts_with("MPEG_PS") || profile.starts_with("MPEG_TS");
  if (codec == "aac") return has("_AAC") || has("_HEAAC");
  if (codec == "ac3") return has("_AC3") && !has("_EAC3");
  if (codec == "eac3") return has("_EAC3");
  if (codec == "mp3") return has("_MPEG1_L3") || has("_MP3");
  return false;
}

// Renderers that list no codec at all decode these in the containers they list: DLNA's
// video profiles are built on them.
bool EveryRendererDecodes(std::string_view codec) {
  return codec == "h264" || codec == "aac" || codec == "mp3" || codec == "mpeg2video" ||
         codec == "mp2";
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

struct SinkEntry {
  std::string mime;     // lowercase, without parameters
  std::string spelt;    // as the sink writes it
  std::string profile;  // DLNA.ORG_PN, "" when none
};

std::vector<SinkEntry> Entries(const std::vector<std::string>& sink) {
  std::vector<SinkEntry> entries;
  for (const std::string& text : sink) {
    // protocol:network:contentFormat:additionalInfo
    const auto first = text.find(':');
    const auto second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) continue;
    const auto third = text.find(':', second + 1);
    if (Lower(text.substr(0, first)) != "http-get") continue;
    SinkEntry entry;
    entry.spelt = text.substr(second + 1, third == std::string::npos ? third : third - second - 1);
    entry.spelt = entry.spelt.substr(0, entry.spelt.find(';'));
    entry.mime = Lower(entry.spelt);
    if (third != std::string::npos) {
      const std::string info = text.substr(third + 1);
      const auto pn = info.find("DLNA.ORG_PN=");
      if (pn != std::string::npos) entry.profile = info.substr(pn + 12, info.find(';', pn) - pn - 12);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

const Family* FamilyOfMime(const std::vector<Family>& families, std::string_view mime) {
  for (const Family& family : families)
    if (std::find(family.mimeTypes.begin(), family.mimeTypes.end(), mime) != family.mimeTypes.end())
      return &family;
  return nullptr;
}

const Family* ContainerOf(const FilmFormat& film) {
  if (const Family* family = FamilyOfMime(Containers(), Lower(film.mimeType))) return family;
  const std::string name = Lower(film.container);
  const auto named = [&](std::string_view family) {
    return std::find_if(Containers().begin(), Containers().end(),
                        [&](const Family& f) { return f.name == family; });
  };
  if (name.find("mp4") != std::string::npos || name.find("mov") != std::string::npos) return &*named("mp4");
  if (name.find("matroska") != std::string::npos) return &*named("matroska");
  for (std::string_view family : {"mpegts", "avi", "flv", "asf"})
    if (name == family) return &*named(family);
  return nullptr;
}

// The sink's spelling of a container family, "" when it lists none of them.
std::string SpeltFor(const std::vector<SinkEntry>& entries, const Family& family) {
  for (const SinkEntry& entry : entries)
    if (FamilyOfMime(Containers(), entry.mime) == &family) return entry.spelt;
  return "";
}

}  // namespace

CastChoice ChooseForSink(const FilmFormat& film, const std::vector<std::string>& sink) {
  const std::vector<SinkEntry> entries = Entries(sink);
  const bool takesAnything = std::any_of(entries.begin(), entries.end(), [](const SinkEntry& e) {
    return e.mime == "*" || e.mime == "video/*";
  });
  const bool listsCodecs = std::any_of(entries.begin(), entries.end(), [](const SinkEntry& e) {
    return !e.profile.empty() || FamilyOfMime(Codecs(), e.mime);
  });
  const Family& mp4 = Containers().front();
  CastChoice converted{true, SpeltFor(entries, mp4), ""};
  if (converted.mimeType.empty()) converted.mimeType = std::string(mp4.mimeTypes.front());

  const Family* container = ContainerOf(film);
  std::string spelt = container ? SpeltFor(entries, *container) : "";
  if (spelt.empty() && takesAnything && !film.mimeType.empty()) spelt = film.mimeType;
  if (spelt.empty()) {
    converted.reason = "the renderer does not list " +
                       (film.mimeType.empty() ? film.container : film.mimeType);
    return converted;
  }
  for (const std::string& codec : {film.videoCodec, film.audioCodec}) {
    if (codec.empty() || takesAnything) continue;
    const auto family = std::find_if(Codecs().begin(), Codecs().end(),
                                     [&](const Family& f) { return f.name == codec; });
    const bool listed = std::any_of(entries.begin(), entries.end(), [&](const SinkEntry& e) {
      return (family != Codecs().end() && FamilyOfMime(Codecs(), e.mime) == &*family) ||
             (!e.profile.empty() && ProfileCarries(e.profile, codec));
    });
    if (!listed && (listsCodecs || !EveryRendererDecodes(codec))) {
      converted.reason = "the renderer does not list " + codec;
      return converted;
    }
  }
  return {false, spelt, ""};
}

}  // namespace morvane::cast
