// Subtitle files and Matroska subtitle tracks to WebVTT; the character set found; Chinese
// subtitles listed first; the subtitles of a season pack offered with their own episode.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "media/EmbeddedSubtitles.h"
#include "media/Libav.h"
#include "media/SubtitleOrder.h"
#include "media/SubtitleText.h"
#include "media/WebVtt.h"
#include "tests/media/MediaSamples.h"
#include "web/Text.h"

namespace morvane::media {
namespace {

std::string Utf16Le(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (const char c : ascii) out += std::string{c, '\0'};
  return out;
}

struct FileCase {
  const char* what;
  std::string name;
  std::string bytes;
  std::string expected;  // the whole WebVTT file
};

TEST(SubtitleFileTest, ConvertsToCleanWebVtt) {
  const std::string chineseSrt = "1\r\n00:00:01,000 --> 00:00:02,500\r\n中文字幕\r\n第二行\r\n\r\n";
  const std::vector<FileCase> cases = {
      {"GBK SubRip", "movie.chs.srt", Utf8ToLocal(chineseSrt),
       "WEBVTT\n\n00:00:01.000 --> 00:00:02.500\n中文字幕\n第二行\n\n"},
      {"UTF-8 SubRip with a byte order mark", "a.srt", "\xEF\xBB\xBF" + chineseSrt,
       "WEBVTT\n\n00:00:01.000 --> 00:00:02.500\n中文字幕\n第二行\n\n"},
      {"UTF-16 SubRip", "a.srt", Utf16Le("1\n00:00:03,000 --> 00:00:04,000\nHi\n"),
       "WEBVTT\n\n00:00:03.000 --> 00:00:04.000\nHi\n\n"},
      {"SubRip markup", "a.srt",
       "7\n01:02:03,004 --> 01:02:05,000\n{\\an8}<font color=\"#fff\"><I>Yes</I></font> <3 & x>y\n\n"
       "junk without times\n\n8\n00:00:09,000 --> 00:00:08,000\nends before it starts\n",
       "WEBVTT\n\n01:02:03.004 --> 01:02:05.000\n<i>Yes</i> &lt;3 &amp; x&gt;y\n\n"},
      {"SubStation Alpha", "a.ass",
       "[Script Info]\nTitle: x\n\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, "
       "MarginV, Effect, Text\nDialogue: 0,0:00:05.10,0:00:06.00,Default,,0,0,0,,{\\b1}第一, 行\\N二\n"
       "Dialogue: 0,0:00:01.00,0:00:02.00,Default,,0,0,0,,Earlier\n",
       "WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nEarlier\n\n00:00:05.100 --> 00:00:06.000\n第一, 行\n二\n\n"},
      {"WebVTT with cue settings and hours left out", "a.vtt",
       "WEBVTT\n\nNOTE a note\n\n00:01.000 --> 00:02.000 line:0\nTop\n",
       "WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nTop\n\n"},
  };
  for (const FileCase& c : cases) {
    const SubtitleConversion converted = ConvertSubtitleFile(c.bytes, c.name);
    ASSERT_TRUE(converted.ok) << c.what << ": " << converted.error;
    EXPECT_EQ(converted.webVtt, c.expected) << c.what;
    EXPECT_TRUE(IsValidUtf8(converted.webVtt)) << c.what;
  }
  EXPECT_FALSE(ConvertSubtitleFile("not subtitles at all", "a.srt").ok);
  EXPECT_FALSE(ConvertSubtitleFile(std::string("\x00\xff\x10", 3), "a.ass").ok);
}

// Markup a hostile or broken file repeats without end: each kind once made the work grow with
// the square of the text (over two minutes for 8 MB), running on after the asker left. The
// bound is far above the linear work and far below the quadratic.
TEST(SubtitleFileTest, WorkGrowsLinearlyWithAnyText) {
  constexpr std::size_t kSize = 8 << 20;
  const auto repeated = [&](std::string_view piece) {
    std::string text;
    text.reserve(kSize + piece.size());
    while (text.size() < kSize) text += piece;
    return text;
  };
  struct Case {
    const char* what;
    std::string name;
    std::string body;
  } cases[] = {
      {"override openers that never close", "a.srt", repeated("{\\")},
      {"tags that never close", "a.srt", repeated("<")},
      {"tag openers before one distant close", "a.srt", repeated("<") + ">"},
      {"line breaks without end", "a.ass", repeated("a\\N")},
      {"SubStation openers that never close", "a.ass", repeated("{")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool substation = c.name.ends_with(".ass");
    const std::string file =
        substation ? "[Events]\nFormat: Layer, Start, End, Style, Text\nDialogue: 0,0:00:01.00,0:00:02.00,Default," + c.body + "\n"
                   : "1\n00:00:01,000 --> 00:00:02,000\nx" + c.body + "\n";
    const auto started = std::chrono::steady_clock::now();
    const SubtitleConversion converted = ConvertSubtitleFile(file, c.name);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_TRUE(converted.ok) << converted.error;
  }
}

TEST(SubtitleFileTest, AStoppedOrOversizedConversionFails) {
  std::string many;
  for (int i = 0; i < 20000; ++i) many += "1\n00:00:01,000 --> 00:00:02,000\ntext\n\n";
  int asked = 0;
  const SubtitleConversion stopped = ConvertSubtitleFile(many, "a.srt", [&] { return ++asked > 3; });
  EXPECT_FALSE(stopped.ok) << "a cut-short file is no conversion";
  EXPECT_EQ(stopped.error, "the conversion was stopped");
  EXPECT_LE(asked, 6) << "it ends soon after being told";
  EXPECT_TRUE(ConvertSubtitleFile(many, "a.srt", [] { return false; }).ok);

  const SubtitleConversion huge = ConvertSubtitleFile(std::string(kMaxSubtitleFileBytes + 1, 'x'), "a.srt");
  EXPECT_FALSE(huge.ok);
  EXPECT_EQ(huge.error, "the subtitle file is too large");
}

TEST(SubtitleFileTest, CuesFollowAStreamStartedLater) {
  const std::vector<Cue> cues = ShiftCues({{1000, 2000, "over"}, {2500, 4000, "under way"}, {5000, 6000, "later"}}, 3000);
  ASSERT_EQ(cues.size(), 2u);
  EXPECT_EQ(cues[0].startMs, 0);
  EXPECT_EQ(cues[0].endMs, 1000);
  EXPECT_EQ(cues[1].startMs, 2000);
  EXPECT_EQ(cues[1].text, "later");
}

TEST(SubtitleFileTest, TextInGbkOrUtf8) {
  const std::string text = "字幕 €";
  EXPECT_EQ(SubtitleTextToUtf8(text), text);
  EXPECT_EQ(SubtitleTextToUtf8(Utf8ToLocal(text)), text);
  // Bytes that are valid GBK but also happen to form UTF-8 are rare; broken UTF-8 is GBK.
  EXPECT_EQ(SubtitleTextToUtf8("\xC4\xE3\xBA\xC3"), "你好");
  EXPECT_FALSE(IsValidUtf8("\xC0\x80"));      // overlong
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));  // a surrogate
  EXPECT_FALSE(IsValidUtf8("\xE4\xB8"));      // cut short
}

TEST(EmbeddedSubtitleTest, MatroskaTracksBecomeWebVtt) {
  QuietLibavLog();
  testing::MediaSamples samples;
  const ByteSource source = FileByteSource(samples.Path("h264_aac_subs.mkv"));
  const std::vector<EmbeddedSubtitle> tracks = ListEmbeddedSubtitles(source);
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[0].language, "eng");
  EXPECT_EQ(tracks[1].language, "chi");
  EXPECT_TRUE(tracks[0].isText && tracks[1].isText);

  // The muxer may move every stream by the sound's priming (some milliseconds): times are
  // compared with that much slack.
  auto expectCues = [](const SubtitleConversion& converted, const std::vector<Cue>& expected) {
    ASSERT_TRUE(converted.ok) << converted.error;
    ASSERT_TRUE(converted.webVtt.starts_with("WEBVTT\n\n")) << converted.webVtt;
    const std::vector<Cue> cues = ParseSubRip(converted.webVtt);
    ASSERT_EQ(cues.size(), expected.size()) << converted.webVtt;
    for (std::size_t i = 0; i < cues.size(); ++i) {
      EXPECT_NEAR(cues[i].startMs, expected[i].startMs, 30) << converted.webVtt;
      EXPECT_NEAR(cues[i].endMs, expected[i].endMs, 30) << converted.webVtt;
      EXPECT_EQ(cues[i].text, expected[i].text);
    }
  };
  expectCues(ExtractEmbeddedSubtitle(source, tracks[0].streamIndex),
             {{500, 1500, "Hello <i>there</i>"}, {2000, 3000, "Second line"}});
  expectCues(ExtractEmbeddedSubtitle(source, tracks[1].streamIndex), {{1000, 2000, "你好，世界"}});

  EXPECT_FALSE(ExtractEmbeddedSubtitle(source, 0).ok);   // the video stream
  EXPECT_FALSE(ExtractEmbeddedSubtitle(source, 99).ok);
  EXPECT_FALSE(ExtractEmbeddedSubtitle(MemoryByteSource("garbage", "x.mkv"), 2).ok);

  // Several tracks in one reading of the file, in the order asked for; a wrong one fails alone.
  ByteSource counted = source;
  auto bytesRead = std::make_shared<std::uint64_t>(0);
  counted.readAt = [inner = source.readAt, bytesRead](std::uint64_t offset, char* buffer, std::size_t length) {
    const std::int64_t n = inner(offset, buffer, length);
    if (n > 0) *bytesRead += static_cast<std::uint64_t>(n);
    return n;
  };
  const std::vector<SubtitleConversion> several =
      ExtractEmbeddedSubtitles(counted, {tracks[1].streamIndex, 0, tracks[0].streamIndex});
  ASSERT_EQ(several.size(), 3u);
  expectCues(several[0], {{1000, 2000, "你好，世界"}});
  EXPECT_FALSE(several[1].ok);
  EXPECT_FALSE(several[1].error.empty());
  expectCues(several[2], {{500, 1500, "Hello <i>there</i>"}, {2000, 3000, "Second line"}});
  EXPECT_LT(*bytesRead, source.size * 3 / 2);
  for (const SubtitleConversion& failed : ExtractEmbeddedSubtitles(MemoryByteSource("garbage", "x.mkv"), {2, 3}))
    EXPECT_FALSE(failed.ok || failed.error.empty());
}

TEST(SubtitleOrderTest, ChineseFirstByTagOrName) {
  std::vector<SubtitleChoice> choices = {
      {"Movie.eng.srt", ""},          {"Movie.chs.srt", ""},   {"English", "eng"},
      {"Movie.zh-Hans.ass", ""},      {"简体中文.srt", ""},    {"Track 3", "chi"},
      {"Chinatown.srt", ""},          {"Mandarin", "zh-TW"},   {"Movie.sc.srt", ""},
      {"Chinese-looking name", "fre"},
  };
  OrderSubtitles(choices);
  std::vector<std::string> labels;
  for (const auto& c : choices) labels.push_back(c.label);
  EXPECT_EQ(labels, (std::vector<std::string>{"Movie.chs.srt", "Movie.zh-Hans.ass", "简体中文.srt", "Track 3",
                                              "Mandarin", "Movie.sc.srt", "Movie.eng.srt", "English",
                                              "Chinatown.srt", "Chinese-looking name"}));
}

TEST(SubtitleOrderTest, EachEpisodeGetsItsOwnSubtitlesThenTheSharedOnes) {
  const std::vector<std::string> videos = {"Show/Show.S01E1.mp4", "Show/Show.S01E2.mp4",
                                           "Show/Show.S01E10.mp4", "Show/Sample/Show.S01E2.sample.mp4"};
  const std::vector<std::string> subtitles = {
      "Show/Show.S01E1.srt",               // 0: E1's by name, not E10's
      "Show/Show.S01E10.chs.srt",          // 1: E10's by name, not E1's
      "Show/Subs/Show.S01E2/2_English.srt",  // 2: in a folder named after E2
      "Show/E02.zh.ass",                   // 3: E2's by its number alone
      "Show/Fonts and notes.srt",          // 4: nobody's: offered with all
      "Show/S02E01.srt",                   // 5: an episode the pack does not hold: nobody's
  };
  const struct {
    const char* video;
    std::vector<std::size_t> own, shared;
  } cases[] = {
      {"Show/Show.S01E1.mp4", {0}, {4}},
      {"Show/Show.S01E2.mp4", {2, 3}, {4}},
      {"Show/Show.S01E10.mp4", {1}, {4}},
      // The sample shares E2's number: what E2 has by number alone goes with it too, what
      // is named after E2 does not.
      {"Show/Sample/Show.S01E2.sample.mp4", {3}, {4}},
  };
  for (const auto& c : cases) {
    std::vector<std::size_t> own, shared;
    for (const SubtitleMatch& m : SubtitlesForVideo(c.video, videos, subtitles))
      (m.fit == SubtitleFit::kOwn ? own : shared).push_back(m.position);
    EXPECT_EQ(own, c.own) << c.video;
    EXPECT_EQ(shared, c.shared) << c.video;
  }
  // A film alone in its torrent takes every subtitle, named for it or not, in order.
  const auto alone = SubtitlesForVideo("Film.mkv", {"Film.mkv"}, {"Other.S01E01.srt", "Film.chs.srt"});
  ASSERT_EQ(alone.size(), 2u);
  EXPECT_EQ(alone[0].position, 0u);
  EXPECT_EQ(alone[1].position, 1u);
  EXPECT_EQ(alone[0].fit, SubtitleFit::kOwn);
}

}  // namespace
}  // namespace morvane::media
