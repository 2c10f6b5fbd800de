// Which films a renderer takes as they stand, from what its sink lists.

#include <gtest/gtest.h>

#include "cast/SinkMatch.h"

namespace morvane::cast {
namespace {

// A sink as a real renderer of each kind lists it (shortened).
const std::vector<std::string> kCodecSink = {
    "http-get:*:video/quicktime:*", "http-get:*:video/x-matroska:*", "http-get:*:video/x-h264:*",
    "http-get:*:audio/mp4:*",       "http-get:*:audio/mpeg:*",       "http-get:*:audio/*:*"};
const std::vector<std::string> kProfileSink = {
    "http-get:*:video/mp4:DLNA.ORG_PN=AVC_MP4_HP_HD_AAC;DLNA.ORG_OP=01",
    "http-get:*:video/mpeg:DLNA.ORG_PN=MPEG_PS_PAL", "http-get:*:video/vnd.dlna.mpeg-tts:DLNA.ORG_PN=AVC_TS_HD_AC3_T"};
const std::vector<std::string> kContainerSink = {"http-get:*:video/mp4:*", "http-get:*:video/x-mkv:*"};
const std::vector<std::string> kAnythingSink = {"http-get:*:*:*"};

struct Case {
  const char* name;
  FilmFormat film;
  const std::vector<std::string>* sink;
  bool convert;
  const char* mimeType;  // announced
};

TEST(SinkMatch, ChoosesByContainerAndCodecs) {
  const FilmFormat mp4{"video/mp4", "mov,mp4,m4a,3gp,3g2,mj2", "h264", "aac"};
  const FilmFormat mkvHevcAc3{"video/x-matroska", "matroska,webm", "hevc", "ac3"};
  const FilmFormat mkvH264Ac3{"video/x-matroska", "matroska,webm", "h264", "ac3"};
  const FilmFormat tsH264Ac3{"video/mp2t", "mpegts", "h264", "ac3"};
  const FilmFormat webm{"video/webm", "matroska,webm", "vp9", "opus"};
  const FilmFormat avi{"", "avi", "mpeg4", "mp3"};
  const Case cases[] = {
      {"mp4 spelt as the sink spells it", mp4, &kCodecSink, false, "video/quicktime"},
      {"hevc not listed", mkvHevcAc3, &kCodecSink, true, "video/quicktime"},
      {"audio/* names no codec", mkvH264Ac3, &kCodecSink, true, "video/quicktime"},
      {"profile names avc and aac", mp4, &kProfileSink, false, "video/mp4"},
      {"ts profile names ac3", tsH264Ac3, &kProfileSink, false, "video/vnd.dlna.mpeg-tts"},
      {"no matroska in the sink", mkvH264Ac3, &kProfileSink, true, "video/mp4"},
      {"containers only: common codecs pass", mp4, &kContainerSink, false, "video/mp4"},
      {"containers only: ac3 is not assumed", mkvH264Ac3, &kContainerSink, true, "video/mp4"},
      {"containers only: matroska by another name", FilmFormat{"video/x-matroska", "matroska,webm", "h264", "aac"},
       &kContainerSink, false, "video/x-mkv"},
      {"webm not listed", webm, &kContainerSink, true, "video/mp4"},
      {"avi by its container name", avi, &kContainerSink, true, "video/mp4"},
      {"a sink that takes anything", mkvHevcAc3, &kAnythingSink, false, "video/x-matroska"},
      {"an empty sink", mp4, nullptr, true, "video/mp4"},
  };
  const std::vector<std::string> none;
  for (const Case& c : cases) {
    const CastChoice choice = ChooseForSink(c.film, c.sink ? *c.sink : none);
    EXPECT_EQ(choice.convert, c.convert) << c.name << ": " << choice.reason;
    EXPECT_EQ(choice.mimeType, c.mimeType) << c.name;
    EXPECT_EQ(choice.reason.empty(), !c.convert) << c.name;
  }
}

}  // namespace
}  // namespace morvane::cast
