#pragma once
// Subtitles as WebVTT, the one text track format the browser's <track> takes: SubRip (.srt),
// SubStation Alpha (.ass/.ssa) and WebVTT files are read into cues and written again, so
// that what reaches the player is always clean WebVTT in UTF-8.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::media {

struct Cue {
  std::int64_t startMs = 0, endMs = 0;
  std::string text;  // UTF-8; lines separated by "\n"; <i>, <b> and <u> kept, other markup gone
};

enum class SubtitleFormat { kSubRip, kSubStationAlpha, kWebVtt, kUnknown };

// From the file name's extension (".srt", ".ass", ".ssa", ".vtt"), any case.
SubtitleFormat SubtitleFormatFromName(std::string_view name);

// Asked now and then by the work below, whose time grows with its input: true ends it (the
// asker left, the service stops). What was ended is cut short; the caller asks again.
using StopCheck = std::function<bool()>;

// The cues of a subtitle file already in UTF-8. Malformed blocks are passed over. Time and
// memory grow linearly with the text.
std::vector<Cue> ParseSubRip(std::string_view text, const StopCheck& stop = {});  // also reads WebVTT's cues
std::vector<Cue> ParseSubStationAlpha(std::string_view text, const StopCheck& stop = {});

// The text of a SubRip cue (or a Matroska SubRip packet) with markup reduced to <i>, <b>,
// <u> and everything else escaped; SubStation's override blocks ("{\an8}") are dropped.
std::string CleanSubRipText(std::string_view text);
// The text field of a SubStation Alpha event: overrides dropped, \N and \n as line breaks.
std::string CleanSubStationText(std::string_view text);

std::string WriteWebVtt(const std::vector<Cue>& cues);
// The same cues as SubRip, for DLNA renderers, which take .srt rather than WebVTT.
std::string WriteSubRip(const std::vector<Cue>& cues);

// The cues on the time line of a stream that starts `startMs` into the film (a converted
// stream started after a seek): moved earlier by that much; cues over before it dropped, one
// under way cut to begin at zero.
std::vector<Cue> ShiftCues(std::vector<Cue> cues, std::int64_t startMs);

struct SubtitleConversion {
  bool ok = false;
  std::string webVtt;   // the whole file
  std::string error;
  std::size_t cueCount = 0;
};

// No subtitle file is larger: a longer one is refused before any work.
inline constexpr std::size_t kMaxSubtitleFileBytes = 16 << 20;

// A subtitle file as found in the torrent (bytes in any of the character sets
// SubtitleTextToUtf8 knows) converted to WebVTT; the name says the format, and the content
// decides when the name does not. Stopped, it fails.
SubtitleConversion ConvertSubtitleFile(std::string_view bytes, std::string_view name,
                                       const StopCheck& stop = {});

}  // namespace morvane::media
