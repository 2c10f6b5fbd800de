#include "stream/MediaRoutes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <regex>
#include <thread>

#include "media/ByteSource.h"
#include "media/MediaProbe.h"
#include "platform/NumberText.h"
#include "tests/media/MediaSamples.h"
#include "tests/stream/StreamFixture.h"
#include "tests/support/ScopedLocale.h"

namespace morvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

// The body of a chunked answer; `complete` tells whether the last chunk came.
std::string Unchunk(const std::string& body, bool& complete) {
  std::string out;
  complete = false;
  std::size_t at = 0;
  for (;;) {
    const auto line = body.find("\r\n", at);
    if (line == std::string::npos) return out;
    const std::size_t size = std::stoul(body.substr(at, line - at), nullptr, 16);
    if (size == 0) {
      complete = true;
      return out;
    }
    if (line + 2 + size > body.size()) return out;
    out += body.substr(line + 2, size);
    at = line + 2 + size + 2;
  }
}

// What libavformat makes of bytes the service sent.
media::MediaInfo ProbeBytes(const std::string& bytes, const std::string& name) {
  return media::ProbeMedia(media::MemoryByteSource(bytes, name));
}

std::string CodecOf(const media::MediaInfo& info, media::StreamKind kind) {
  for (const auto& stream : info.streams)
    if (stream.kind == kind) return stream.codec;
  return "";
}

class MediaRoutesTest : public StreamFixture {
 protected:
  void StartService() {
    StreamFixture::StartService([](stream::StreamOptions& o) { o.convertMedia = true; });
  }
  // A one-file torrent of a sample, seeded.
  std::unique_ptr<Seeder> SeedSample(const std::string& sample, SeederOptions options = {}) {
    const std::string bytes = samples_.Bytes(sample);
    EXPECT_FALSE(bytes.empty());
    return MakeSeeder(sample, {{sample, 0, bytes}}, options);
  }
  MediaSamples samples_;
};

TEST_F(MediaRoutesTest, WhatTheBrowserCannotPlayComesBackAsH264InMp4) {
  StartService();
  struct Case {
    const char* sample;
    const char* decision;
  };
  const Case cases[] = {{"hevc_aac.mp4", "convert-video"},
                        {"h264_ac3.mkv", "convert-audio"},
                        {"xvid_mp3.avi", "convert-video"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sample);
    const auto seeder = SeedSample(c.sample);
    const std::string address = Resolve(seeder->MagnetLink());
    const std::string hash = seeder->InfoHashHex();
    ASSERT_TRUE(address.starts_with(Base() + "/convert/" + hash + "/")) << address;
    EXPECT_TRUE(address.ends_with(".mp4")) << address;

    const RawAnswer list = RawGet(Port(), "/subs/" + hash + "/list.json");
    EXPECT_NE(list.body.find(std::string("\"decision\":\"") + c.decision + "\""), std::string::npos)
        << list.body;
    EXPECT_NE(list.body.find("\"converted\":true"), std::string::npos) << list.body;

    for (const double asked : {0.0, 2.5}) {
      SCOPED_TRACE(asked);
      const RawAnswer answer = RawGet(Port(), PathOf(address) + (asked > 0 ? "?start=2.5" : ""));
      EXPECT_EQ(answer.status, 200);
      EXPECT_EQ(answer.Header("Content-Type"), "video/mp4");
      EXPECT_EQ(answer.Header("Accept-Ranges"), "none");
      EXPECT_EQ(answer.Header("Transfer-Encoding"), "chunked");
      // The film's whole length, whatever the start: the player takes its own duration from it.
      EXPECT_NEAR(std::stod("0" + answer.Header("X-Content-Duration")), kSampleSeconds, 0.2);
      bool complete = false;
      const std::string mp4 = Unchunk(answer.body, complete);
      EXPECT_TRUE(complete);
      const media::MediaInfo out = ProbeBytes(mp4, "out.mp4");
      EXPECT_EQ(out.decision, media::Decision::kPlayable) << out.reason;
      EXPECT_EQ(CodecOf(out, media::StreamKind::kVideo), "h264");
      EXPECT_TRUE(media::BrowserPlaysAudio(CodecOf(out, media::StreamKind::kAudio)))
          << CodecOf(out, media::StreamKind::kAudio);
      if (std::string(c.sample) == "h264_ac3.mkv") {
        EXPECT_EQ(CodecOf(out, media::StreamKind::kAudio), "aac");
      }
      // Key frames every second: the output starts on one at most a second before the time
      // asked for, and says where.
      const double start = std::stod("0" + answer.Header("X-Start-Seconds"));
      EXPECT_LE(start, asked);
      EXPECT_GE(start, asked - 1.05);
      EXPECT_NEAR(out.durationSeconds, kSampleSeconds - start, 0.25);
    }
  }
}

TEST_F(MediaRoutesTest, SubtitlesBesideTheVideoAreListedChineseFirstAndServedAsUtf8WebVtt) {
  StartService();
  // "中文字幕" in GBK, as Chinese releases often ship it.
  const std::string gbk = "1\r\n00:00:01,000 --> 00:00:02,500\r\n\xD6\xD0\xCE\xC4\xD7\xD6\xC4\xBB\r\n\r\n"
                          "2\r\n00:00:03,000 --> 00:00:03,900\r\nend\r\n";
  const std::string english = "1\n00:00:00,500 --> 00:00:01,000\nHello\n";
  const auto seeder = MakeSeeder("film", {{"film.mp4", 0, samples_.Bytes("h264_aac.mp4")},
                                          {"film.eng.srt", 0, english},
                                          {"film.chs.srt", 0, gbk}},
                                 {.pieceLength = 16 << 10});
  const std::string address = Resolve(seeder->MagnetLink());
  const std::string hash = seeder->InfoHashHex();
  ASSERT_TRUE(address.starts_with(Base() + "/stream/" + hash + "/")) << address;
  EXPECT_EQ(RawRequest(Port(), "HEAD", PathOf(address)).Header("Content-Type"), "video/mp4");

  const RawAnswer list = RawGet(Port(), "/subs/" + hash + "/list.json");
  EXPECT_EQ(list.status, 200);
  // On loopback no page of another origin reads it (only a keyed request would).
  EXPECT_EQ(list.Header("Access-Control-Allow-Origin"), "");
  EXPECT_NE(list.body.find("\"converted\":false"), std::string::npos) << list.body;
  const auto chinese = list.body.find("film.chs.srt");
  const auto englishAt = list.body.find("film.eng.srt");
  ASSERT_NE(chinese, std::string::npos) << list.body;
  ASSERT_NE(englishAt, std::string::npos) << list.body;
  EXPECT_LT(chinese, englishAt) << list.body;
  EXPECT_NE(list.body.find("\"src\":\"/subs/" + hash + "/0.vtt\",\"label\":\"film.chs.srt\""),
            std::string::npos) << list.body;

  const RawAnswer vtt = RawGet(Port(), "/subs/" + hash + "/0.vtt");
  EXPECT_EQ(vtt.status, 200);
  EXPECT_EQ(vtt.Header("Content-Type"), "text/vtt; charset=utf-8");
  EXPECT_TRUE(vtt.body.starts_with("WEBVTT")) << vtt.body;
  EXPECT_NE(vtt.body.find("00:00:01.000 --> 00:00:02.500\n中文字幕"), std::string::npos) << vtt.body;

  // On the time line of a converted stream started 2 s in: the cue under way starts at zero.
  const RawAnswer shifted = RawGet(Port(), "/subs/" + hash + "/0.vtt?start=2");
  EXPECT_NE(shifted.body.find("00:00:00.000 --> 00:00:00.500\n中文字幕"), std::string::npos)
      << shifted.body;
  EXPECT_NE(shifted.body.find("00:00:01.000 --> 00:00:01.900\nend"), std::string::npos) << shifted.body;
  EXPECT_EQ(RawGet(Port(), "/subs/" + hash + "/1.vtt").body.find("Hello") != std::string::npos, true);
  // As SubRip for a renderer on the network, shifted the same way.
  const RawAnswer subRip = RawGet(Port(), "/subs/" + hash + "/0.srt?start=2");
  EXPECT_EQ(subRip.Header("Content-Type"), "application/x-subrip; charset=utf-8");
  EXPECT_TRUE(subRip.body.starts_with("1\n00:00:00,000 --> 00:00:00,500\n中文字幕")) << subRip.body;
  for (const char* bad : {"/subs/" "x/0.vtt", "/subs/HASH/2.vtt", "/subs/HASH/0.ass", "/subs/HASH/-1.vtt"}) {
    std::string target = bad;
    if (const auto at = target.find("HASH"); at != std::string::npos) target.replace(at, 4, hash);
    EXPECT_EQ(RawGet(Port(), target).status, 404) << target;
  }
}

TEST_F(MediaRoutesTest, TextTracksInsideTheVideoAreListedChineseFirst) {
  StartService();
  const auto seeder = SeedSample("h264_aac_subs.mkv");
  const std::string address = Resolve(seeder->MagnetLink());
  const std::string hash = seeder->InfoHashHex();
  ASSERT_TRUE(address.starts_with(Base() + "/convert/" + hash + "/")) << address;
  const RawAnswer list = RawGet(Port(), "/subs/" + hash + "/list.json");
  const auto chinese = list.body.find("\"language\":\"chi\"");
  const auto english = list.body.find("\"language\":\"eng\"");
  ASSERT_NE(chinese, std::string::npos) << list.body;
  ASSERT_NE(english, std::string::npos) << list.body;
  EXPECT_LT(chinese, english) << list.body;
  const std::string vtt = RawGet(Port(), "/subs/" + hash + "/0.vtt").body;
  EXPECT_TRUE(vtt.starts_with("WEBVTT")) << vtt;
  EXPECT_NE(vtt.find("00:00:01.0"), std::string::npos) << vtt;  // the muxer may delay by a frame
  EXPECT_NE(vtt.find("\n你好，世界\n"), std::string::npos) << vtt;
  EXPECT_NE(RawGet(Port(), "/subs/" + hash + "/1.vtt").body.find("Hello <i>there</i>"), std::string::npos);
}

TEST_F(MediaRoutesTest, ATrackInsideAVideoStillDownloadingIsAskedForAgainNotWaitedFor) {
  StreamFixture::StartService([](stream::StreamOptions& o) {
    o.convertMedia = true;
    o.embeddedSubtitleWait = std::chrono::milliseconds(300);
  });
  const auto seeder = SeedSample("h264_aac_subs.mkv", {.pieceLength = 16 << 10, .uploadLimit = 12 << 10});
  const std::string hash = seeder->InfoHashHex();
  ASSERT_TRUE(Resolve(seeder->MagnetLink()).starts_with(Base() + "/convert/"));
  seeder->SetUploadLimit(1 << 10);  // the rest of the film stays away while the test looks
  EXPECT_NE(RawGet(Port(), "/subs/" + hash + "/list.json").body.find("\"language\":\"chi\""), std::string::npos);

  // Told to come back, long before the download could be done.
  const RawAnswer early = RawRequest(Port(), "GET", "/subs/" + hash + "/0.vtt", {}, std::chrono::seconds(20));
  EXPECT_EQ(early.status, 503) << early.body;
  EXPECT_EQ(early.Header("Retry-After"), "3");
  EXPECT_TRUE(early.body.starts_with("resp: ")) << early.body;
  const std::string size = std::to_string(samples_.Bytes("h264_aac_subs.mkv").size());
  EXPECT_EQ(RawGet(Port(), "/status/" + hash).body.find("\"bytesVerified\":" + size), std::string::npos)
      << "finished before the test";

  // Asked again once the film is in, the track comes.
  seeder->SetUploadLimit(0);
  RawAnswer late;
  for (const auto limit = Clock::now() + std::chrono::seconds(60); Clock::now() < limit;) {
    late = RawGet(Port(), "/subs/" + hash + "/0.vtt");
    if (late.status != 503) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(late.status, 200) << late.body;
  EXPECT_NE(late.body.find("\n你好，世界\n"), std::string::npos) << late.body;
}

TEST_F(MediaRoutesTest, AFileNothingCanReadAnswersRespWithTheReason) {
  StartService();
  const auto seeder = MakeSeeder("broken.mkv", {{"broken.mkv", 300000}});
  const std::string answer = Resolve(seeder->MagnetLink());
  EXPECT_TRUE(answer.starts_with("resp: ")) << answer;
  EXPECT_GT(answer.size(), 10u) << answer;
  // The service goes on answering.
  EXPECT_EQ(RawGet(Port(), "/status/" + seeder->InfoHashHex()).status, 200);
}

// Reads an answer's head, then hangs up.
bool ReadHeadThenHangUp(int port, const std::string& target) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return false;
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string head;
  char buffer[4096];
  const auto limit = Clock::now() + std::chrono::seconds(60);
  while (head.find("\r\n\r\n") == std::string::npos && Clock::now() < limit) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) continue;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return head.starts_with("HTTP/1.1 200");
}

TEST_F(MediaRoutesTest, AClientThatGoesAwayEndsItsConversionNeverTheService) {
  StartService();
  // A slow swarm: the conversion waits for pieces while its client hangs up. Its picture
  // is copied, so the answer starts at once (a re-encoding first measures its speed on a
  // few seconds of the film, most of this small sample).
  const auto seeder = SeedSample("h264_ac3.mkv", {.pieceLength = 16 << 10, .uploadLimit = 12 << 10});
  const std::string hash = seeder->InfoHashHex();
  const std::string address = Resolve(seeder->MagnetLink());
  ASSERT_TRUE(address.starts_with(Base() + "/convert/")) << address;
  ASSERT_TRUE(ReadHeadThenHangUp(Port(), PathOf(address)));
  seeder->SetUploadLimit(1 << 10);  // the rest of the film stays away while the test looks

  // The conversion's reader leaves while the download is still under way. A running
  // conversion holds its reader for as long as it reads, so no reader means it ended.
  bool ended = false;
  std::string status;
  for (const auto limit = Clock::now() + std::chrono::seconds(30); Clock::now() < limit && !ended;) {
    status = RawGet(Port(), "/status/" + hash).body;
    ended = status.find("\"readers\":0") != std::string::npos;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(ended) << status;
  const std::string size = std::to_string(samples_.Bytes("h264_ac3.mkv").size());
  EXPECT_EQ(status.find("\"bytesVerified\":" + size), std::string::npos) << "finished before the test";
  // A new conversion of the same video then plays through.
  seeder->SetUploadLimit(0);
  bool complete = false;
  const std::string mp4 = Unchunk(RawGet(Port(), PathOf(address)).body, complete);
  EXPECT_TRUE(complete);
  EXPECT_EQ(CodecOf(ProbeBytes(mp4, "out.mp4"), media::StreamKind::kVideo), "h264");
}

// A film in two languages plays in either: the list names its sound tracks, and the
// converted stream carries the one asked for.
TEST_F(MediaRoutesTest, TheSoundTrackAskedForIsTheOneConverted) {
  StartService();
  const auto seeder = SeedSample("h264_two_audio.mkv");
  const std::string hash = seeder->InfoHashHex();
  const std::string address = Resolve(seeder->MagnetLink());
  ASSERT_TRUE(address.starts_with(Base() + "/convert/" + hash + "/")) << address;
  const std::string list = RawGet(Port(), "/subs/" + hash + "/list.json").body;
  EXPECT_NE(list.find("\"audio\":[{\"index\":1,\"title\":\"\",\"language\":\"chi\",\"codec\":\"aac\","
                      "\"channels\":2,\"default\":true},{\"index\":2,\"title\":\"\",\"language\":\"eng\","
                      "\"codec\":\"aac\",\"channels\":1,\"default\":false}]"),
            std::string::npos)
      << list;
  const struct {
    const char* query;
    int status;
    int channels;
  } cases[] = {{"", 200, 2}, {"?audio=2", 200, 1}, {"?start=1&audio=1", 200, 2},
               {"?audio=0", 404, 0}, {"?audio=7", 404, 0}, {"?audio=x", 404, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    const RawAnswer answer = RawGet(Port(), PathOf(address) + c.query);
    ASSERT_EQ(answer.status, c.status) << answer.body;
    if (c.status != 200) continue;
    bool complete = false;
    const media::MediaInfo out = ProbeBytes(Unchunk(answer.body, complete), "out.mp4");
    EXPECT_TRUE(complete);
    int sounds = 0;
    for (const auto& stream : out.streams) {
      if (stream.kind != media::StreamKind::kAudio) continue;
      ++sounds;
      EXPECT_EQ(stream.channels, c.channels);
    }
    EXPECT_EQ(sounds, 1);
  }
  // Another video's name converts nothing.
  EXPECT_EQ(RawGet(Port(), "/convert/" + hash + "/other.mp4").status, 404);
}

// The film's length goes into JSON and into headers: under a locale that writes a decimal
// comma it is still "120.000", never "120,000".
TEST_F(MediaRoutesTest, TimesDoNotFollowTheLocale) {
  const ScopedLocale german(kCommaLocale);
  ASSERT_TRUE(german.set()) << "no " << kCommaLocale << " locale: scripts/setup.sh makes it";
  StartService();
  const auto seeder = SeedSample("h264_ac3.mkv");
  const std::string address = Resolve(seeder->MagnetLink());
  const std::string hash = seeder->InfoHashHex();
  const std::string list = RawGet(Port(), "/subs/" + hash + "/list.json").body;
  const std::regex duration(R"("duration":(\d+\.\d{3}),)");
  std::smatch found;
  ASSERT_TRUE(std::regex_search(list, found, duration)) << list;
  EXPECT_NEAR(ParseNumber(found[1].str()).value_or(0), kSampleSeconds, 0.2);

  const RawAnswer head = RawRequest(Port(), "HEAD", PathOf(address));
  EXPECT_TRUE(std::regex_match(head.Header("X-Content-Duration"), std::regex(R"(\d+\.\d{3})")))
      << head.Header("X-Content-Duration");
  const std::string start = RawGet(Port(), PathOf(address) + "?start=2.5").Header("X-Start-Seconds");
  EXPECT_TRUE(std::regex_match(start, std::regex(R"(\d+\.\d{3})"))) << start;
}

}  // namespace
}  // namespace morvane::testing
