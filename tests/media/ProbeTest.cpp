// What each kind of file probes to, read through a byte source as the streaming service
// hands it over.

#include <gtest/gtest.h>

#include "media/Libav.h"
#include "media/MediaProbe.h"
#include "tests/media/MediaSamples.h"

namespace morvane::media {
namespace {

struct ProbeCase {
  const char* sample;
  Decision decision;
  const char* mime;
  const char* video;  // codec of the played video stream
  const char* audio;
};

class ProbeTest : public ::testing::TestWithParam<ProbeCase> {
 protected:
  static void SetUpTestSuite() { QuietLibavLog(); }
  static testing::MediaSamples samples_;
};
testing::MediaSamples ProbeTest::samples_;

TEST_P(ProbeTest, DecidesFromContainerAndCodecs) {
  const ProbeCase& c = GetParam();
  const MediaInfo info = ProbeMedia(FileByteSource(samples_.Path(c.sample)));
  EXPECT_EQ(DecisionName(info.decision), std::string(DecisionName(c.decision))) << info.reason;
  EXPECT_EQ(info.mimeType, c.mime);
  EXPECT_NEAR(info.durationSeconds, testing::kSampleSeconds, 0.1);
  std::string video, audio;
  for (const StreamInfo& s : info.streams) {
    if (s.index == info.videoStream) video = s.codec;
    if (s.index == info.audioStream) audio = s.codec;
  }
  EXPECT_EQ(video, c.video);
  EXPECT_EQ(audio, c.audio);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, ProbeTest,
    ::testing::Values(ProbeCase{"hevc_aac.mp4", Decision::kConvertVideo, "video/mp4", "hevc", "aac"},
                      ProbeCase{"h264_ac3.mkv", Decision::kConvertAudio, "video/mp4", "h264", "ac3"},
                      ProbeCase{"xvid_mp3.avi", Decision::kConvertVideo, "video/mp4", "mpeg4", "mp3"},
                      ProbeCase{"h264_aac_subs.mkv", Decision::kRemux, "video/mp4", "h264", "aac"},
                      ProbeCase{"h264_aac.mp4", Decision::kPlayable, "video/mp4", "h264", "aac"},
                      // Broadcast-framed AAC cannot be copied into a fragmented MP4.
                      ProbeCase{"h264_aac.ts", Decision::kConvertAudio, "video/mp4", "h264", "aac"},
                      ProbeCase{"vp9_opus.webm", Decision::kPlayable, "video/webm", "vp9", "opus"}),
    [](const auto& info) { return testing::TestNameOf(info.param.sample); });

TEST(ProbeBrokenTest, UnreadableInputIsUnplayableWithAReason) {
  QuietLibavLog();
  testing::MediaSamples samples;
  const std::string mp4 = samples.Bytes("h264_aac.mp4");
  std::string garbage(64 * 1024, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 7919u) >> 3);
  ByteSource failing = MemoryByteSource(mp4, "failing.mp4");
  failing.readAt = [](std::uint64_t, char*, std::size_t) -> std::int64_t { return -1; };
  const struct {
    const char* what;
    ByteSource source;
  } cases[] = {
      {"garbage", MemoryByteSource(garbage, "movie.mkv")},
      {"empty", MemoryByteSource("", "movie.mp4")},
      // The index of this MP4 is at its end: the first half has no index at all.
      {"first half of an MP4", MemoryByteSource(mp4.substr(0, mp4.size() / 2), "movie.mp4")},
      {"failing reads", failing},
      {"no reader", ByteSource{100, "x.mp4", nullptr}},
  };
  for (const auto& c : cases) {
    const MediaInfo info = ProbeMedia(c.source);
    EXPECT_EQ(info.decision, Decision::kUnplayable) << c.what;
    EXPECT_FALSE(info.reason.empty()) << c.what;
  }
}

}  // namespace
}  // namespace morvane::media
