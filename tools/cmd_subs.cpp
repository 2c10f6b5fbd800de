// morvane-tool subs FILE [TRACK]: subtitles as the player gets them. A subtitle file (.srt,
// .ass, .ssa, .vtt, in UTF-8, UTF-16 or GBK) is printed as WebVTT; a media file lists its
// text subtitle tracks ("INDEX<TAB>LANGUAGE<TAB>TITLE", Chinese first), and with a TRACK
// index prints that track as WebVTT. Exit code 1 when there is nothing to print.

#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "media/ByteSource.h"
#include "media/EmbeddedSubtitles.h"
#include "media/Libav.h"
#include "media/SubtitleOrder.h"
#include "media/WebVtt.h"
#include "tools/Commands.h"

namespace morvane::tool {
namespace {

int Print(const media::SubtitleConversion& converted) {
  if (!converted.ok) {
    std::fprintf(stderr, "morvane-tool subs: %s\n", converted.error.c_str());
    return 1;
  }
  std::fwrite(converted.webVtt.data(), 1, converted.webVtt.size(), stdout);
  return 0;
}

int RunSubs(const Arguments& arguments) {
  if (arguments.empty() || arguments.size() > 2) {
    std::fprintf(stderr, "usage: morvane-tool subs FILE [TRACK]\n");
    return 2;
  }
  media::QuietLibavLog();
  const std::string& path = arguments[0];
  if (media::SubtitleFormatFromName(path) != media::SubtitleFormat::kUnknown) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "morvane-tool subs: cannot read %s\n", path.c_str());
      return 1;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return Print(media::ConvertSubtitleFile(bytes.str(), path));
  }
  const media::ByteSource source = media::FileByteSource(path);
  if (arguments.size() == 2) {
    int track = -1;
    const std::string& text = arguments[1];
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), track);
    if (error != std::errc() || end != text.data() + text.size()) {
      std::fprintf(stderr, "morvane-tool subs: bad track '%s'\n", text.c_str());
      return 2;
    }
    return Print(media::ExtractEmbeddedSubtitle(source, track));
  }
  std::vector<media::EmbeddedSubtitle> tracks;
  std::vector<media::SubtitleChoice> choices;
  for (const media::EmbeddedSubtitle& t : media::ListEmbeddedSubtitles(source)) {
    if (!t.isText) continue;
    tracks.push_back(t);
    choices.push_back({std::to_string(t.streamIndex) + "\t" + t.language + "\t" + t.title, t.language});
  }
  media::OrderSubtitles(choices);
  for (const media::SubtitleChoice& c : choices) std::printf("%s\n", c.label.c_str());
  return tracks.empty() ? 1 : 0;
}

const RegisterCommand kSubs{"subs", "FILE [TRACK]",
                            "prints a subtitle file or a media file's subtitle track as WebVTT, or lists the tracks",
                            &RunSubs};

}  // namespace
}  // namespace morvane::tool
