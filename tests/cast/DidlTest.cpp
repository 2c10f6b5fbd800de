// The metadata a renderer is sent with a film, and the times it is told and tells.

#include <gtest/gtest.h>

#include "cast/CastSession.h"
#include "cast/Didl.h"
#include "cast/Renderers.h"

namespace morvane::cast {
namespace {

TEST(Didl, DescribesTheFilmItsFeaturesAndSubtitle) {
  CastItem item;
  item.title = "灯塔 <S01E02> & more";
  item.uri = "http://192.168.1.5:47083/KEY/stream/abc/file.mkv";
  item.mimeType = "video/x-matroska";
  item.size = 123456789;
  item.durationSeconds = 3725.4;
  item.subtitleUri = "http://192.168.1.5:47083/KEY/subs/abc/0.srt";
  const std::string didl = DidlLite(item);
  EXPECT_NE(didl.find("<dc:title>灯塔 &lt;S01E02&gt; &amp; more</dc:title>"), std::string::npos) << didl;
  EXPECT_NE(didl.find("object.item.videoItem"), std::string::npos);
  EXPECT_NE(didl.find("protocolInfo=\"http-get:*:video/x-matroska:DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
                      "DLNA.ORG_FLAGS=01700000000000000000000000000000\""),
            std::string::npos)
      << didl;
  EXPECT_NE(didl.find("size=\"123456789\""), std::string::npos);
  EXPECT_NE(didl.find("duration=\"1:02:05"), std::string::npos) << didl;
  EXPECT_NE(didl.find(">" + item.uri + "</res>"), std::string::npos);
  EXPECT_NE(didl.find("protocolInfo=\"http-get:*:text/srt:*\""), std::string::npos);
  EXPECT_NE(didl.find("xmlns:sec=\"http://www.sec.co.kr/\""), std::string::npos);
  EXPECT_NE(didl.find("<sec:CaptionInfoEx sec:type=\"srt\">" + item.subtitleUri + "</sec:CaptionInfoEx>"),
            std::string::npos)
      << didl;

  item.source = stream::DlnaSource::kConverted;
  item.size = -1;
  item.subtitleUri.clear();
  const std::string converted = DidlLite(item);
  EXPECT_NE(converted.find("DLNA.ORG_OP=00;DLNA.ORG_CI=1"), std::string::npos);
  EXPECT_EQ(converted.find("size="), std::string::npos);
  EXPECT_EQ(converted.find("CaptionInfoEx"), std::string::npos);
}

TEST(Didl, ReadsAndWritesRendererTimes) {
  const std::pair<const char*, std::optional<double>> reads[] = {
      {"0:00:00", 0},        {"1:02:03", 3723},      {"00:01:02.500", 62.5}, {"10:00:00", 36000},
      {"0:00:05.1/2", 5.1},  {"NOT_IMPLEMENTED", {}}, {"", {}},             {"1:61:00", {}},
      {"-0:00:01", {}},      {"0:00:60", {}},        {"0:00:01x", {}},
  };
  for (const auto& [text, seconds] : reads) {
    const auto parsed = ParseUpnpTime(text);
    ASSERT_EQ(parsed.has_value(), seconds.has_value()) << text;
    if (seconds) {
      EXPECT_DOUBLE_EQ(*parsed, *seconds) << text;
    }
  }
  EXPECT_EQ(UpnpTime(0), "0:00:00");
  EXPECT_EQ(UpnpTime(3723.9), "1:02:03");
  EXPECT_EQ(UpnpTime(-5), "0:00:00");
}

TEST(Didl, SplitsTheServicesFilmAddresses) {
  const auto stream = SplitFilmAddress("http://127.0.0.1:47083/KEY/stream/abc/Film%20One.mkv?x=1");
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->base, "http://127.0.0.1:47083/KEY");
  EXPECT_EQ(stream->kind, "stream");
  EXPECT_EQ(stream->hash, "abc");
  EXPECT_EQ(stream->name, "Film%20One.mkv");
  const auto converted = SplitFilmAddress("http://127.0.0.1:47083/convert/abc/Film.mp4?start=3");
  ASSERT_TRUE(converted);
  EXPECT_EQ(converted->base, "http://127.0.0.1:47083");
  EXPECT_EQ(converted->kind, "convert");
  for (const char* wrong : {"http://127.0.0.1:47083/files/abc", "http://h/stream/abc", "http://h/stream/abc/",
                            "magnet:?xt=urn:btih:abc/stream/a/b"})
    EXPECT_FALSE(SplitFilmAddress(wrong)) << wrong;
}

}  // namespace
}  // namespace morvane::cast
