// The player's relays for a season pack: the file list, another episode through the
// service's resolution, and the viewer's place. Each passes only its own request of one
// stream, so the player's server cannot be made to fetch anything else.

#include "services/PlayerEpisodes.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <string>
#include <vector>

#include "services/Pages.h"
#include "services/PlayerResume.h"
#include "tests/support/LocalServer.h"
#include "tests/support/RawServer.h"

namespace morvane::services {
namespace {

const std::string kHash = "0123456789abcdef0123456789abcdef01234567";

// A streaming service that notes what it was asked and answers as told. It reads requests
// raw, as the real one does: a resolution request's link holds a second "?".
struct FakeService {
  std::mutex mutex;
  std::vector<std::string> seen;  // "METHOD TARGET"
  std::string resolution;         // the <file> text of /xml.php
  testing::RawServer server{[this](const std::string& request) {
    const std::string line = request.substr(0, request.find(" HTTP/"));
    std::lock_guard lock(mutex);
    seen.push_back(line);
    std::string status = "200 OK", body = "{\"files\":[]}";
    if (line.starts_with("GET /xml.php?") || line.starts_with("GET /service-key/xml.php?"))
      body = "<?xml version=\"1.0\"?>\n<video>\n<file>" + resolution + "</file>\n</video>\n";
    else if (line.starts_with("POST "))
      status = "204 No Content", body.clear();
    return testing::RawReply{"HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\nConnection: close\r\n\r\n" + body};
  }};

  std::string Last() {
    std::lock_guard lock(mutex);
    return seen.empty() ? "" : seen.back();
  }
};

TEST(PlayerEpisodesTest, RelaysTheListAnotherEpisodeAndThePlaceOfOneStreamOnly) {
  FakeService service;
  testing::LocalServer player;
  RoutePlayerEpisodes(player.server());
  RoutePlayerResume(player.server());
  player.Start();
  const std::string nobody = testing::ClosedHost();
  httplib::Client client("127.0.0.1", player.port());
  const std::string here = service.server.host();

  const struct {
    const char* what;
    const char* method;
    std::string target;
    std::string resolution;
    int status;
    std::string reached;  // what the service saw; "" for nothing
    std::string body;     // what the page got, when it matters
  } cases[] = {
      {"the list", "GET", "/stream-files?service=" + here + "&hash=" + kHash, "", 200, "GET /files/" + kHash, ""},
      {"another episode", "GET", "/stream-play?service=" + here + "&hash=" + kHash + "&file=3",
       "http://" + here + "/stream/" + kHash + "/E3.mp4", 200,
       "GET /xml.php?url=magnet:?xt=urn:btih:" + kHash + "&so=3",
       "{\"address\":\"http://" + here + "/stream/" + kHash + "/E3.mp4\"}"},
      {"a refusal", "GET", "/stream-play?service=" + here + "&hash=" + kHash + "&file=3",
       "resp: the torrent holds no video 3", 502, "GET /xml.php?url=magnet:?xt=urn:btih:" + kHash + "&so=3",
       "{\"error\":\"resp: the torrent holds no video 3\"}"},
      {"an address elsewhere", "GET", "/stream-play?service=" + here + "&hash=" + kHash + "&file=3",
       "http://evil.example/x.mp4", 502, "GET /xml.php?url=magnet:?xt=urn:btih:" + kHash + "&so=3", ""},
      {"the place", "GET", "/stream-position?service=" + here + "&hash=" + kHash + "&file=2", "", 200,
       "GET /position/" + kHash + "/2", ""},
      {"keeping the place", "POST",
       "/stream-position?service=" + here + "&hash=" + kHash + "&file=2&seconds=754.250&duration=1420.5", "", 204,
       "POST /position/" + kHash + "/2?seconds=754.250&duration=1420.5", ""},
      {"a subtitle shift", "POST",
       "/stream-position?service=" + here + "&hash=" + kHash + "&file=2&subtitleShift=-0.3", "", 204,
       "POST /position/" + kHash + "/2?subtitleShift=-0.3", ""},
      // A keyed service: its key goes first in what it is asked, and its addresses carry it.
      {"the list, keyed", "GET", "/stream-files?service=" + here + "&hash=" + kHash + "&key=service-key", "", 200,
       "GET /service-key/files/" + kHash, ""},
      {"another episode, keyed", "GET",
       "/stream-play?service=" + here + "&hash=" + kHash + "&file=3&key=service-key",
       "http://" + here + "/service-key/stream/" + kHash + "/E3.mp4", 200,
       "GET /service-key/xml.php?url=magnet:?xt=urn:btih:" + kHash + "&so=3",
       "{\"address\":\"http://" + here + "/service-key/stream/" + kHash + "/E3.mp4\"}"},
      {"keeping the place, keyed", "POST",
       "/stream-position?service=" + here + "&hash=" + kHash + "&file=2&seconds=5&key=service-key", "", 204,
       "POST /service-key/position/" + kHash + "/2?seconds=5", ""},
      {"a key that is a path", "GET", "/stream-files?service=" + here + "&hash=" + kHash + "&key=../x", "", 400,
       "", ""},
      {"a key with a query", "GET", "/stream-play?service=" + here + "&hash=" + kHash + "&file=3&key=k?url=x",
       "", 400, "", ""},
      {"a key that is a path, placing", "POST",
       "/stream-position?service=" + here + "&hash=" + kHash + "&file=2&seconds=5&key=a/b", "", 400, "", ""},
      {"no service", "GET", "/stream-files?service=" + nobody + "&hash=" + kHash, "", 502, "", ""},
      {"a path for a hash", "GET", "/stream-files?service=" + here + "&hash=../../etc", "", 400, "", ""},
      {"a v2 hash", "GET", "/stream-files?service=" + here + "&hash=" + std::string(64, 'a'), "", 400, "", ""},
      {"a host with a path", "GET", "/stream-files?service=evil.example/x:80&hash=" + kHash, "", 400, "", ""},
      {"a file that is no number", "GET", "/stream-play?service=" + here + "&hash=" + kHash + "&file=3x", "",
       400, "", ""},
      {"no file", "GET", "/stream-play?service=" + here + "&hash=" + kHash, "", 400, "", ""},
      {"a value that is no decimal", "POST",
       "/stream-position?service=" + here + "&hash=" + kHash + "&file=2&seconds=1e9", "", 400, "", ""},
      {"a value with more in it", "POST",
       "/stream-position?service=" + here + "&hash=" + kHash + "&file=2&seconds=5;9", "", 400, "", ""},
      {"values on a GET", "GET", "/stream-position?service=" + here + "&hash=" + kHash + "&file=2&seconds=5", "",
       400, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    service.resolution = c.resolution;
    const std::string before = service.Last();
    const auto answer = std::string(c.method) == "GET" ? client.Get(c.target) : client.Post(c.target);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, c.status) << answer->body;
    EXPECT_EQ(service.Last(), c.reached.empty() ? before : c.reached);
    EXPECT_EQ(answer->body, c.body.empty() ? answer->body : c.body);
  }
  // The page carries the scripts that use them.
  const std::string page = PlayerPage();
  for (const char* relay : {"/stream-files", "/stream-play", "/stream-position"})
    EXPECT_NE(page.find(relay), std::string::npos) << relay;
}

TEST(PlayerEpisodesTest, OnlyAnAddressOfTheServiceItselfIsPlayed) {
  const std::string service = "127.0.0.1:47083";
  const struct {
    std::string answer;
    std::string address;
  } cases[] = {
      {"<file>http://127.0.0.1:47083/stream/h/E1.mp4</file>", "http://127.0.0.1:47083/stream/h/E1.mp4"},
      {"<FILE>http://127.0.0.1:47083/x</FILE>", ""},  // the service writes it in lower case
      {"<file>resp: no such video</file>", ""},
      {"<file>http://127.0.0.1:470830/x</file>", ""},
      {"<file>http://127.0.0.1:47083.evil.example/x</file>", ""},
      {"<file>http://127.0.0.1:47083/x\"><script></file>", ""},
      {"<file>http://127.0.0.1:47083/a b</file>", ""},
      {"</file><file>http://127.0.0.1:47083/x", ""},
      {"nothing", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolvedAddressOf(c.answer, service), c.address) << c.answer;
}

}  // namespace
}  // namespace morvane::services
