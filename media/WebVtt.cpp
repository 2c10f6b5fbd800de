#include "media/WebVtt.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "media/SubtitleText.h"

namespace morvane::media {

namespace {

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    begin = end + 1;
  }
  return lines;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// Where `wanted` next occurs at or after a position, for a scan that only moves forward:
// the place found is kept until the scan passes it, so looking for the closer of every one
// of a million openers reads the text once, not a million times.
class NextOccurrence {
 public:
  NextOccurrence(std::string_view text, char wanted) : text_(text), wanted_(wanted) {}
  std::size_t From(std::size_t from) {
    if (!searched_ || (found_ != std::string_view::npos && found_ < from)) {
      found_ = text_.find(wanted_, from);
      searched_ = true;
    }
    return found_;
  }

 private:
  std::string_view text_;
  char wanted_;
  bool searched_ = false;
  std::size_t found_ = std::string_view::npos;
};

// A markup tag longer than this is taken as text: no subtitle tag comes near it, and looking
// into each would make the work grow with the square of the text.
constexpr std::size_t kLongestTag = 1024;
// How many lines (or cues) pass between two questions whether to stop.
constexpr std::size_t kLinesPerStopCheck = 1024;

bool Stopped(const StopCheck& stop, std::size_t step) {
  return stop && step % kLinesPerStopCheck == 0 && stop();
}

// "01:02:03,456", "01:02:03.456", "02:03.456" (WebVTT without hours), "1:02:03.45"
// (SubStation's hundredths). -1 when it is none of these.
std::int64_t ParseTime(std::string_view text) {
  text = Trim(text);
  std::int64_t fields[3] = {0, 0, 0};
  int count = 0;
  std::size_t i = 0;
  for (;;) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data() + i, text.data() + text.size(), value);
    if (error != std::errc() || end == text.data() + i || count == 3) return -1;
    fields[count++] = value;
    i = static_cast<std::size_t>(end - text.data());
    if (i < text.size() && text[i] == ':') {
      ++i;
      continue;
    }
    break;
  }
  if (count < 2) return -1;
  std::int64_t fraction = 0;
  if (i < text.size() && (text[i] == ',' || text[i] == '.')) {
    ++i;
    int digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      if (digits < 3) fraction = fraction * 10 + (text[i] - '0'), ++digits;
      ++i;
    }
    while (digits++ < 3) fraction *= 10;
  }
  if (i != text.size()) return -1;
  const std::int64_t hours = count == 3 ? fields[0] : 0;
  const std::int64_t minutes = fields[count - 2];
  const std::int64_t seconds = fields[count - 1];
  if (minutes >= 60 || seconds >= 60 || hours < 0 || minutes < 0 || seconds < 0) return -1;
  return ((hours * 60 + minutes) * 60 + seconds) * 1000 + fraction;
}

std::string FormatTime(std::int64_t ms) {
  ms = std::max<std::int64_t>(0, ms);
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", static_cast<long long>(ms / 3600000),
                static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
                static_cast<long long>(ms % 1000));
  return text;
}

void AppendEscaped(std::string& out, char c) {
  switch (c) {
    case '&': out += "&amp;"; break;
    case '<': out += "&lt;"; break;
    case '>': out += "&gt;"; break;
    default: out.push_back(c);
  }
}

// Lines of a cue without empty ones (an empty line would end the cue early) and without
// "-->" (it would start a new one).
std::string TidyLines(std::string_view text) {
  std::string out;
  for (std::string_view line : Lines(text)) {
    line = Trim(line);
    if (line.empty()) continue;
    if (!out.empty()) out.push_back('\n');
    out.append(line);
  }
  if (out.find("-->") == std::string::npos) return out;
  std::string safe;
  safe.reserve(out.size());
  std::size_t from = 0;
  for (std::size_t arrow; (arrow = out.find("-->", from)) != std::string::npos; from = arrow + 3)
    safe.append(out, from, arrow - from).append("--&gt;");
  return safe.append(out, from);
}

}  // namespace

SubtitleFormat SubtitleFormatFromName(std::string_view name) {
  const std::string lower = AsciiLower(name);
  if (lower.ends_with(".srt")) return SubtitleFormat::kSubRip;
  if (lower.ends_with(".ass") || lower.ends_with(".ssa")) return SubtitleFormat::kSubStationAlpha;
  if (lower.ends_with(".vtt")) return SubtitleFormat::kWebVtt;
  return SubtitleFormat::kUnknown;
}

std::string CleanSubRipText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  NextOccurrence braceClose(text, '}'), tagClose(text, '>'), lineEnd(text, '\n');
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '{' && i + 1 < text.size() && text[i + 1] == '\\') {
      const std::size_t close = braceClose.From(i);
      if (close != std::string_view::npos) {
        i = close + 1;
        continue;
      }
    }
    if (c == '<') {
      const std::size_t close = tagClose.From(i);
      if (close != std::string_view::npos && close - i <= kLongestTag && lineEnd.From(i) > close) {
        const std::string tag = AsciiLower(text.substr(i + 1, close - i - 1));
        if (tag == "i" || tag == "b" || tag == "u" || tag == "/i" || tag == "/b" || tag == "/u") {
          out += '<' + tag + '>';
          i = close + 1;
          continue;
        }
        // Any other tag (<font color=...>, <span>, <br>) is markup the player would show as
        // text: dropped, a line break kept as one.
        const std::string_view name = std::string_view(tag).substr(tag.starts_with('/') ? 1 : 0);
        if (!name.empty() && std::isalpha(static_cast<unsigned char>(name.front()))) {
          if (name == "br" || name.starts_with("br ") || name.starts_with("br/")) out.push_back('\n');
          i = close + 1;
          continue;
        }
      }
    }
    AppendEscaped(out, c);
    ++i;
  }
  return TidyLines(out);
}

std::string CleanSubStationText(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  NextOccurrence braceClose(text, '}');
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '{') {
      const std::size_t close = braceClose.From(i);
      if (close != std::string_view::npos) {
        i = close + 1;
        continue;
      }
    }
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char next = text[i + 1];
      if (next == 'N' || next == 'n') {
        plain.push_back('\n');
        i += 2;
        continue;
      }
      if (next == 'h') {
        plain.push_back(' ');
        i += 2;
        continue;
      }
    }
    AppendEscaped(plain, text[i]);
    ++i;
  }
  return TidyLines(plain);
}

std::vector<Cue> ParseSubRip(std::string_view text, const StopCheck& stop) {
  std::vector<Cue> cues;
  const auto lines = Lines(text);
  std::size_t steps = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (Stopped(stop, steps++)) break;
    const std::size_t arrow = lines[i].find("-->");
    if (arrow == std::string_view::npos) continue;
    const std::int64_t start = ParseTime(lines[i].substr(0, arrow));
    std::string_view rest = Trim(lines[i].substr(arrow + 3));
    // WebVTT puts cue settings after the end time ("00:01.000 line:0"); they are not kept.
    rest = rest.substr(0, rest.find_first_of(" \t"));
    const std::int64_t end = ParseTime(rest);
    std::string body;
    std::size_t j = i + 1;
    for (; j < lines.size() && !Trim(lines[j]).empty(); ++j) {
      if (lines[j].find("-->") != std::string_view::npos) break;
      if (!body.empty()) body.push_back('\n');
      body.append(lines[j]);
    }
    i = j - 1;
    if (start < 0 || end < start) continue;
    Cue cue{start, end, CleanSubRipText(body)};
    if (!cue.text.empty()) cues.push_back(std::move(cue));
  }
  return cues;
}

std::vector<Cue> ParseSubStationAlpha(std::string_view text, const StopCheck& stop) {
  std::vector<Cue> cues;
  std::size_t number = 0;
  bool inEvents = false;
  // The [Events] section's own order of fields; the text is always the last and may hold
  // commas of its own.
  int startField = 1, endField = 2, fieldCount = 10;
  for (std::string_view line : Lines(text)) {
    if (Stopped(stop, number++)) break;
    line = Trim(line);
    if (line.starts_with('[')) {
      inEvents = AsciiLower(line) == "[events]";
      continue;
    }
    if (!inEvents) continue;
    if (line.starts_with("Format:")) {
      std::string_view fields = line.substr(7);
      int index = 0;
      std::size_t begin = 0;
      for (;;) {
        const std::size_t comma = fields.find(',', begin);
        const std::string name = AsciiLower(Trim(fields.substr(begin, comma - begin)));
        if (name == "start") startField = index;
        if (name == "end") endField = index;
        ++index;
        if (comma == std::string_view::npos) break;
        begin = comma + 1;
      }
      fieldCount = index;
      continue;
    }
    if (!line.starts_with("Dialogue:")) continue;
    std::string_view rest = line.substr(9);
    std::vector<std::string_view> fields;
    for (int k = 0; k < fieldCount - 1; ++k) {
      const std::size_t comma = rest.find(',');
      if (comma == std::string_view::npos) break;
      fields.push_back(rest.substr(0, comma));
      rest.remove_prefix(comma + 1);
    }
    if (static_cast<int>(fields.size()) != fieldCount - 1 || startField >= fieldCount - 1 ||
        endField >= fieldCount - 1)
      continue;
    const std::int64_t start = ParseTime(fields[static_cast<std::size_t>(startField)]);
    const std::int64_t end = ParseTime(fields[static_cast<std::size_t>(endField)]);
    if (start < 0 || end < start) continue;
    Cue cue{start, end, CleanSubStationText(rest)};
    if (!cue.text.empty()) cues.push_back(std::move(cue));
  }
  std::stable_sort(cues.begin(), cues.end(), [](const Cue& a, const Cue& b) { return a.startMs < b.startMs; });
  return cues;
}

std::string WriteWebVtt(const std::vector<Cue>& cues) {
  std::string out = "WEBVTT\n\n";
  for (const Cue& cue : cues) {
    out += FormatTime(cue.startMs) + " --> " + FormatTime(cue.endMs) + "\n";
    out += cue.text;
    out += "\n\n";
  }
  return out;
}

std::string WriteSubRip(const std::vector<Cue>& cues) {
  std::string out;
  int number = 0;
  for (const Cue& cue : cues) {
    std::string start = FormatTime(cue.startMs), end = FormatTime(cue.endMs);
    start[8] = end[8] = ',';
    out += std::to_string(++number) + "\n" + start + " --> " + end + "\n";
    // The cue's text was escaped for WebVTT; SubRip readers show entities as they stand.
    for (std::size_t at = 0; at < cue.text.size();) {
      bool replaced = false;
      for (const auto& [entity, plain] : {std::pair{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}}) {
        if (cue.text.compare(at, std::strlen(entity), entity) == 0) {
          out += plain;
          at += std::strlen(entity);
          replaced = true;
          break;
        }
      }
      if (!replaced) out += cue.text[at++];
    }
    out += "\n\n";
  }
  return out;
}

std::vector<Cue> ShiftCues(std::vector<Cue> cues, std::int64_t startMs) {
  std::vector<Cue> shifted;
  for (Cue& cue : cues) {
    if (cue.endMs <= startMs) continue;
    cue.startMs = std::max<std::int64_t>(0, cue.startMs - startMs);
    cue.endMs -= startMs;
    shifted.push_back(std::move(cue));
  }
  return shifted;
}

SubtitleConversion ConvertSubtitleFile(std::string_view bytes, std::string_view name,
                                       const StopCheck& stop) {
  SubtitleConversion result;
  if (bytes.size() > kMaxSubtitleFileBytes) {
    result.error = "the subtitle file is too large";
    return result;
  }
  const std::string text = SubtitleTextToUtf8(bytes);
  SubtitleFormat format = SubtitleFormatFromName(name);
  if (text.find("[Events]") != std::string::npos || text.find("[Script Info]") != std::string::npos)
    format = SubtitleFormat::kSubStationAlpha;
  const std::vector<Cue> cues = format == SubtitleFormat::kSubStationAlpha
                                    ? ParseSubStationAlpha(text, stop)
                                    : ParseSubRip(text, stop);
  if (stop && stop()) {
    result.error = "the conversion was stopped";
    return result;
  }
  if (cues.empty()) {
    result.error = "no subtitles in the file";
    return result;
  }
  result.ok = true;
  result.cueCount = cues.size();
  result.webVtt = WriteWebVtt(cues);
  return result;
}

}  // namespace morvane::media
