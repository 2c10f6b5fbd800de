#include "services/PlayerMedia.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <string>

#include "services/Pages.h"
#include "tests/support/LocalServer.h"

namespace morvane::services {
namespace {

// The relay passes only the subtitle list and numbered subtitles of one stream, so the
// player's server cannot be made to fetch any other address of any host.
TEST(PlayerMediaTest, RelaysOnlyTheSubtitleListAndNumberedSubtitles) {
  const std::string hash(40, 'a');
  testing::LocalServer streaming;
  streaming.server().Get(R"((/[\w.~-]+)?/subs/a+/(list\.json|\d+\.vtt))",
                         [](const httplib::Request& req, httplib::Response& res) {
                           // A track not ready yet: the page is told when to ask again.
                           if (req.path.ends_with("/7.vtt")) {
                             res.status = 503;
                             res.set_header("Retry-After", "3");
                           }
                           res.set_content(req.target, req.path.ends_with(".vtt")
                                                           ? "text/vtt; charset=utf-8"
                                                           : "application/json");
                         });
  streaming.Start();
  testing::LocalServer player;
  RoutePlayerMedia(player.server());
  player.Start();

  httplib::Client client("127.0.0.1", player.port());
  struct Case {
    std::string item, start;
    int status;
    std::string reached;  // the target the service saw
    std::string key = {};
  };
  const Case cases[] = {
      {"list.json", "", 200, "/service-key/subs/" + hash + "/list.json", "service-key"},
      {"3.vtt", "2", 200, "/service-key/subs/" + hash + "/3.vtt?start=2", "service-key"},
      {"list.json", "", 400, "", "../x"},
      {"list.json", "", 400, "", "a/b"},
      {"list.json", "", 200, "/subs/" + hash + "/list.json"},
      {"0.vtt", "", 200, "/subs/" + hash + "/0.vtt"},
      {"12.vtt", "61.5", 200, "/subs/" + hash + "/12.vtt?start=61.5"},
      {"7.vtt", "", 503, "/subs/" + hash + "/7.vtt"},
      {"../status.json", "", 400, ""},
      {"0.vtt/../../x", "", 400, ""},
      {"a.vtt", "", 400, ""},
      {"0.srt", "", 400, ""},
      {".vtt", "", 400, ""},
      {"0.vtt", "1&x=2", 400, ""},
      {"0.vtt", "-1", 400, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item + " " + c.start + " " + c.key);
    httplib::Params params{{"service", streaming.host()}, {"hash", hash}, {"item", c.item}};
    if (!c.start.empty()) params.emplace("start", c.start);
    if (!c.key.empty()) params.emplace("key", c.key);
    const auto answer = client.Get("/stream-subs", params, {});
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, c.status);
    EXPECT_EQ(answer->get_header_value("Retry-After"), c.status == 503 ? "3" : "");
    if (c.status == 200) {
      EXPECT_EQ(answer->body, c.reached);
      EXPECT_EQ(answer->get_header_value("Content-Type"),
                c.item.ends_with(".vtt") ? "text/vtt; charset=utf-8" : "application/json");
    }
  }
  EXPECT_NE(PlayerPage().find("/stream-subs?service="), std::string::npos);
}

}  // namespace
}  // namespace morvane::services
