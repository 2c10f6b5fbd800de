// What a renderer reads on a film's answers: the DLNA transfer mode and content features,
// and the subtitle a cast asked for.

#include "stream/DlnaHeaders.h"

#include <gtest/gtest.h>

#include "tests/stream/StreamFixture.h"

namespace morvane::testing {
namespace {

TEST(DlnaHeaders, NamesTheSubtitleACastAskedFor) {
  const std::pair<const char*, const char*> cases[] = {
      {"caption=0", "http://h:1/K/subs/abc/0.srt"},
      {"x=1&caption=12", "http://h:1/K/subs/abc/12.srt"},
      {"", nullptr},
      {"caption=", nullptr},
      {"caption=-1", nullptr},
      {"caption=1/../../x", nullptr},
      {"caption=99999", nullptr},
      {"captions=1", nullptr},
  };
  for (const auto& [query, address] : cases) {
    const HttpHeaders headers = stream::CaptionHeaders(query, "http://h:1/K", "abc");
    if (!address) {
      EXPECT_TRUE(headers.empty()) << query;
      continue;
    }
    ASSERT_EQ(headers.size(), 1u) << query;
    EXPECT_EQ(headers[0].first, "CaptionInfo.sec");
    EXPECT_EQ(headers[0].second, address);
  }
}

class DlnaHeadersTest : public StreamFixture {};

TEST_F(DlnaHeadersTest, AFilmsAnswersCarryThem) {
  StartService();
  const auto seeder = MakeSeeder("film.mkv", {{"film.mkv", 3 << 20}});
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  for (const char* method : {"HEAD", "GET"}) {
    const RawAnswer answer = RawRequest(Port(), method, path + "?caption=1", "Range: bytes=0-99\r\n");
    EXPECT_EQ(answer.status, 206) << method;
    EXPECT_EQ(answer.Header("transferMode.dlna.org"), "Streaming");
    EXPECT_EQ(answer.Header("contentFeatures.dlna.org"),
              "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000");
    EXPECT_EQ(answer.Header("CaptionInfo.sec"), Base() + "/subs/" + seeder->InfoHashHex() + "/1.srt");
  }
  EXPECT_EQ(RawRequest(Port(), "HEAD", path).Header("CaptionInfo.sec"), "");
}

}  // namespace
}  // namespace morvane::testing
