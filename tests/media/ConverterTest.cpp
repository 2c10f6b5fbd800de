// Conversion of each kind of file to fragmented MP4, read back with libavformat: browser
// codecs, the right length (in the header from the first bytes on), starts at a key frame at
// or before the time asked for; broken input ends with an error result.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/Converter.h"
#include "media/Libav.h"
#include "media/MediaProbe.h"
#include "tests/media/MediaSamples.h"

namespace morvane::media {
namespace {

struct Converted {
  ConvertResult result;
  std::string bytes;
  std::vector<std::string> chunks;
  int startCalls = 0;
};

Converted Convert(const ByteSource& source, double startSeconds) {
  Converted converted;
  ConvertOptions options;
  options.startSeconds = startSeconds;
  options.onStart = [&](const ConvertStart&) {
    ++converted.startCalls;
    EXPECT_TRUE(converted.bytes.empty()) << "the start is told before the first byte";
  };
  Converter converter(source, options);
  converted.result = converter.Run([&](const char* data, std::size_t size) {
    converted.bytes.append(data, size);
    converted.chunks.emplace_back(data, size);
    return true;
  });
  return converted;
}

struct ConvertCase {
  const char* sample;
  double startSeconds;
  bool videoTranscoded, audioTranscoded;
};

class ConverterTest : public ::testing::TestWithParam<ConvertCase> {
 protected:
  static void SetUpTestSuite() { QuietLibavLog(); }
  static testing::MediaSamples samples_;
};
testing::MediaSamples ConverterTest::samples_;

TEST_P(ConverterTest, OutputPlaysInTheBrowserFromAKeyFrameAtOrBeforeTheStart) {
  const ConvertCase& c = GetParam();
  const Converted converted = Convert(FileByteSource(samples_.Path(c.sample)), c.startSeconds);
  ASSERT_TRUE(converted.result.ok) << converted.result.error;
  EXPECT_EQ(converted.startCalls, 1);
  EXPECT_EQ(converted.result.bytesWritten, converted.bytes.size());
  const ConvertStart& start = converted.result.start;
  EXPECT_EQ(start.videoTranscoded, c.videoTranscoded);
  EXPECT_EQ(start.audioTranscoded, c.audioTranscoded);

  // A key frame every second: the start lands on the one at or before the time asked for.
  EXPECT_LE(start.startSeconds, c.startSeconds + 1e-6);
  EXPECT_GT(start.startSeconds, c.startSeconds - 1.05);
  EXPECT_NEAR(start.durationSeconds, testing::kSampleSeconds - start.startSeconds, 0.1);

  const MediaInfo output = ProbeMedia(MemoryByteSource(converted.bytes, "out.mp4"));
  EXPECT_EQ(output.decision, Decision::kPlayable) << output.reason;
  EXPECT_EQ(output.container.rfind("mov,mp4", 0), 0u) << output.container;
  EXPECT_NEAR(output.durationSeconds, start.durationSeconds, 0.15);
  ASSERT_GE(output.videoStream, 0);
  ASSERT_GE(output.audioStream, 0);
  for (const StreamInfo& s : output.streams) {
    // Picture and sound begin together: the samples' streams start within a frame of each
    // other, and the output begins on a key frame, decoding order included.
    if (s.index == output.videoStream || s.index == output.audioStream) {
      EXPECT_GE(s.startSeconds, 0) << s.codec;
      EXPECT_LT(s.startSeconds, 0.15) << s.codec;
    }
    if (s.index == output.videoStream) {
      EXPECT_TRUE(BrowserPlaysVideo(s.codec)) << s.codec;
      EXPECT_EQ(s.width, 320);
    }
    if (s.index == output.audioStream) {
      EXPECT_TRUE(BrowserPlaysAudio(s.codec)) << s.codec;
    }
  }

  // The first bytes alone (the header, no samples yet) already tell the length.
  ASSERT_FALSE(converted.chunks.empty());
  const MediaInfo header = ProbeMedia(MemoryByteSource(converted.chunks.front(), "head.mp4"));
  EXPECT_NEAR(header.durationSeconds, start.durationSeconds, 0.01) << header.reason;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, ConverterTest,
    ::testing::Values(ConvertCase{"hevc_aac.mp4", 0, true, false},
                      ConvertCase{"hevc_aac.mp4", 2.3, true, false},
                      ConvertCase{"h264_ac3.mkv", 0, false, true},
                      ConvertCase{"h264_ac3.mkv", 2.5, false, true},
                      ConvertCase{"hevc_ac3.mkv", 2.0, true, true},
                      ConvertCase{"xvid_mp3.avi", 0, true, false},
                      ConvertCase{"xvid_mp3.avi", 1.7, true, false},
                      ConvertCase{"h264_aac_subs.mkv", 0, false, false},
                      ConvertCase{"h264_aac_subs.mkv", 3.2, false, false},
                      ConvertCase{"vp9_opus.webm", 1.0, false, false},
                      // B-frames (a copied picture that decodes ahead of showing) and
                      // broadcast-framed AAC.
                      ConvertCase{"h264_aac.ts", 1.2, false, true}),
    [](const auto& info) {
      return testing::TestNameOf(std::string(info.param.sample) + "_at_" +
                                 std::to_string(static_cast<int>(info.param.startSeconds * 10)));
    });

TEST(ConverterAudioTest, TheChosenSoundTrackIsTheOneInTheOutput) {
  QuietLibavLog();
  testing::MediaSamples samples;
  const std::string film = samples.Path("h264_two_audio.mkv");
  // Streams: 0 the picture, 1 the stereo sound (the default), 2 the mono one.
  const struct {
    int audioStream;
    bool ok;
    int channels, sampleRate;
  } cases[] = {
      {-1, true, 2, 48000}, {1, true, 2, 48000}, {2, true, 1, 22050},
      {0, false, 0, 0},  // the picture
      {3, false, 0, 0},  // no such stream
  };
  for (const auto& c : cases) {
    ConvertOptions options;
    options.audioStream = c.audioStream;
    std::string bytes;
    Converter converter(FileByteSource(film), options);
    const ConvertResult result = converter.Run([&](const char* data, std::size_t size) {
      bytes.append(data, size);
      return true;
    });
    ASSERT_EQ(result.ok, c.ok) << c.audioStream << ": " << result.error;
    if (!c.ok) {
      EXPECT_NE(result.error.find("audio stream"), std::string::npos) << result.error;
      continue;
    }
    const MediaInfo output = ProbeMedia(MemoryByteSource(bytes, "out.mp4"));
    ASSERT_EQ(output.decision, Decision::kPlayable) << output.reason;
    int sounds = 0;
    for (const StreamInfo& s : output.streams) {
      if (s.kind != StreamKind::kAudio) continue;
      ++sounds;
      EXPECT_EQ(s.channels, c.channels) << c.audioStream;
      EXPECT_EQ(s.sampleRate, c.sampleRate) << c.audioStream;
    }
    EXPECT_EQ(sounds, 1) << c.audioStream;
  }
}

TEST(ConverterFailureTest, BrokenInputOrAGoneReceiverEndsWithAnErrorResult) {
  QuietLibavLog();
  testing::MediaSamples samples;
  const std::string mkv = samples.Bytes("h264_ac3.mkv");
  std::string garbage(256 * 1024, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 2654435761u) >> 13);
  ByteSource failingLater = FileByteSource(samples.Path("h264_ac3.mkv"));
  // Reads fail past the first 100 kB: the stream has begun when the source breaks.
  failingLater.readAt = [inner = failingLater.readAt](std::uint64_t offset, char* buffer,
                                                       std::size_t length) -> std::int64_t {
    return offset > 100000 ? -1 : inner(offset, buffer, length);
  };
  const struct {
    const char* what;
    ByteSource source;
  } cases[] = {
      {"garbage", MemoryByteSource(garbage, "movie.avi")},
      {"cut Matroska", MemoryByteSource(mkv.substr(0, mkv.size() * 6 / 10), "movie.mkv")},
      {"reads failing mid-stream", failingLater},
  };
  for (const auto& c : cases) {
    const Converted converted = Convert(c.source, 0);
    EXPECT_FALSE(converted.result.ok) << c.what;
    EXPECT_FALSE(converted.result.cancelled) << c.what;
    EXPECT_FALSE(converted.result.error.empty()) << c.what;
  }

  // The receiver goes away after the header: the converter stops there.
  Converter converter(FileByteSource(samples.Path("hevc_aac.mp4")), {});
  int calls = 0;
  const ConvertResult result = converter.Run([&](const char*, std::size_t) { return ++calls == 1; });
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(calls, 2);
  EXPECT_NE(result.error.find("receiver"), std::string::npos) << result.error;
}

}  // namespace
}  // namespace morvane::media
