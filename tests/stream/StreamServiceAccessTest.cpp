// Who the streaming service answers and what it does for them. Bound beyond loopback it
// answers nobody without its key and opens nothing local or inside for anyone; on loopback
// it answers only loopback names and builds its addresses from where it listens.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <future>

#include "tests/stream/StreamFixture.h"
#include "tests/support/LocalServer.h"

namespace morvane::testing {
namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef";
const std::string kHash = "00112233445566778899aabbccddeeff00112233";

// A port that takes connections and never answers; whether anyone connected shows.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(fd_, 8);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { ::close(fd_); }
  int port() const { return port_; }
  bool Connected() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port nothing listens on.
int ClosedPort() {
  const Listener gone;
  return gone.port();
}

class StreamServiceAccessTest : public StreamFixture {
 protected:
  void StartKeyed() {
    StartService([](stream::StreamOptions& o) {
      o.bindAddress = "0.0.0.0";
      o.accessKey = kKey;
    });
  }
  std::string Keyed(const std::string& path) const { return "/" + kKey + path; }
};

TEST_F(StreamServiceAccessTest, BeyondLoopbackNothingIsAnsweredWithoutTheKey) {
  StartKeyed();
  struct Case {
    std::string method, target, headers;
    int status;
  } cases[] = {
      {"GET", "/xml.php?url=magnet:?xt=urn:btih:" + kHash, "", 401},
      {"GET", "/status/" + kHash, "", 401},
      {"POST", "/stop/" + kHash, "", 401},
      {"GET", "/stream/" + kHash + "/a.mp4", "", 401},
      {"GET", "/relay/1/a.mp4", "", 401},
      {"GET", "/subs/" + kHash + "/list.json", "", 401},
      {"GET", "/convert/" + kHash + "/a.mp4", "", 401},
      {"GET", "/files/" + kHash, "", 401},
      {"GET", "/position/" + kHash + "/0", "", 401},
      {"POST", "/position/" + kHash + "/0?seconds=5", "", 401},
      {"GET", "/", "", 401},
      {"GET", "/" + kKey.substr(1) + "x/status/" + kHash, "", 401},
      {"GET", "/" + kKey + "0/status/" + kHash, "", 401},
      {"GET", "/" + kKey.substr(0, 16) + "/status/" + kHash, "", 401},
      {"GET", "/status/" + kHash, "Authorization: Bearer " + kKey + "x\r\n", 401},
      {"GET", "/status/" + kHash, "Authorization: Basic " + kKey + "\r\n", 401},
      {"GET", "/status/" + kHash + "?" + kKey, "", 401},
      // With the key: the routes answer as on loopback.
      {"GET", Keyed("/status/" + kHash), "", 404},
      {"GET", "/status/" + kHash, "Authorization: Bearer " + kKey + "\r\n", 404},
      {"GET", "/status/" + kHash, "authorization: bearer " + kKey + "\r\n", 404},
      {"POST", Keyed("/stop/" + kHash), "", 404},
      {"GET", Keyed("/stop/" + kHash), "", 405},
      {"GET", Keyed("/files/" + kHash), "", 404},
      {"POST", Keyed("/files/" + kHash), "", 405},
      {"POST", Keyed("/position/" + kHash + "/0?seconds=5"), "", 404},
      {"DELETE", Keyed("/position/" + kHash + "/0"), "", 405},
      {"GET", Keyed("/nothing"), "", 404},
      {"GET", "/" + kKey, "", 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.target + " " + c.headers);
    const RawAnswer answer = RawRequest(Port(), c.method, c.target, c.headers);
    EXPECT_EQ(answer.status, c.status);
    if (c.status == 401) {
      EXPECT_EQ(answer.body, "resp: this service needs its key\n");
      EXPECT_EQ(answer.Header("Access-Control-Allow-Origin"), "");
    } else {
      EXPECT_EQ(answer.Header("Access-Control-Allow-Origin"), "*") << "readable with the key";
    }
  }
}

TEST_F(StreamServiceAccessTest, KeyedAddressesPlayWithoutHeaders) {
  // The link's peer on this machine is not called for a stranger: the seeder calls instead.
  const int peers = ClosedPort();
  StartService([&](stream::StreamOptions& o) {
    o.bindAddress = "0.0.0.0";
    o.accessKey = kKey;
    o.peerInterfaces = "127.0.0.1:" + std::to_string(peers);
  });
  const std::string subtitle = "1\n00:00:01,000 --> 00:00:02,000\nhi\n";
  const auto seeder = MakeSeeder("keyed", {{"keyed.mp4", 1 << 20}, {"keyed.srt", 0, subtitle}});
  const std::string source = ReadAll(seeder->SourcePath("keyed.mp4"));
  auto resolving = std::async(std::launch::async, [&] {
    return RawGet(Port(), Keyed("/xml.php?url=" + seeder->MagnetLink()));
  });
  while (resolving.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) seeder->Connect(peers);
  const std::string address = FileOf(resolving.get().body);
  ASSERT_EQ(address, Base() + "/" + kKey + "/stream/" + seeder->InfoHashHex() + "/keyed.mp4");
  // What a video element sends: the address alone.
  const RawAnswer video = RawGet(Port(), PathOf(address));
  EXPECT_EQ(video.status, 200);
  EXPECT_TRUE(video.body == source);
  // A range that is no range asks for the whole body, never a negative length.
  const RawAnswer signs = RawGet(Port(), PathOf(address), "Range: bytes=--5\r\n");
  EXPECT_EQ(signs.status, 200);
  EXPECT_EQ(signs.Header("Content-Length"), std::to_string(source.size()));
  // Asked with the Bearer header, the answer's addresses still carry the key.
  const RawAnswer bearer = RawGet(Port(), "/xml.php?url=ftp://h.example/a/b.mkv",
                                  "Authorization: Bearer " + kKey + "\r\n");
  EXPECT_EQ(FileOf(bearer.body), Base() + "/" + kKey + "/relay/1/b.mkv");
  // The subtitle list names its subtitles with the key too.
  const RawAnswer list = RawGet(Port(), Keyed("/subs/" + seeder->InfoHashHex() + "/list.json"));
  EXPECT_NE(list.body.find("\"src\":\"/" + kKey + "/subs/" + seeder->InfoHashHex() + "/0.vtt\""),
            std::string::npos)
      << list.body;
  // So does the file list, whose addresses play as the resolution's does.
  const RawAnswer files = RawGet(Port(), Keyed("/files/" + seeder->InfoHashHex()));
  const std::string listed = "\"address\":\"" + PathOf(address) + "\"";
  EXPECT_NE(files.body.find(listed), std::string::npos) << files.body;
  EXPECT_EQ(RawRequest(Port(), "POST", Keyed("/stop/" + seeder->InfoHashHex())).status, 200);
}

TEST_F(StreamServiceAccessTest, StrangersGetNothingLocalOrInsideAndCannotTellWhatExists) {
  StartKeyed();
  const auto seeder = MakeSeeder("inside.mp4", {{"inside.mp4", 1 << 20}});
  const std::filesystem::path torrent = seeder->WriteTorrentFile(Root() / "there.torrent");
  LocalServer inside;
  std::atomic<int> fetched{0};
  inside.server().Get("/a.torrent", [&](const httplib::Request&, httplib::Response& response) {
    ++fetched;
    response.set_content(std::string(seeder->TorrentBytes().begin(), seeder->TorrentBytes().end()),
                         "application/x-bittorrent");
  });
  inside.Start();
  const std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/a.torrent";
  struct Case {
    const char* what;
    std::string link;
    std::string answer;
  } cases[] = {
      {"a .torrent file that exists", torrent.string(), "resp: local files are not opened for callers on the network"},
      {"one that does not", (Root() / "none.torrent").string(), "resp: local files are not opened for callers on the network"},
      {"file:// of one that exists", "file://" + torrent.string(), "resp: local files are not opened for callers on the network"},
      {"file:// with a NUL", "file:///etc/shadow%00.torrent", "resp: local files are not opened for callers on the network"},
      {"file:// escaped whole", "file%3A%2F%2F%2Fetc%2Fpasswd.torrent", "resp: local files are not opened for callers on the network"},
      {"an inside server that answers", inside.base() + "/a.torrent", "resp: the .torrent address cannot be fetched"},
      {"an inside port that is closed", closed, "resp: the .torrent address cannot be fetched"},
      {"a name for loopback", "http://localhost:" + std::to_string(inside.port()) + "/a.torrent",
       "resp: the .torrent address cannot be fetched"},
  };
  for (const Case& c : cases) {
    const RawAnswer answer = RawGet(Port(), Keyed("/xml.php?url=" + c.link));
    EXPECT_EQ(FileOf(answer.body), c.answer) << c.what;
  }
  EXPECT_EQ(fetched, 0) << "no request reached the inside server";

  // An ftp link resolves to a relay, which connects to nothing inside: open or closed, the
  // same answer.
  Listener ftp;
  for (const int port : {ftp.port(), ClosedPort()}) {
    const std::string relay =
        FileOf(RawGet(Port(), Keyed("/xml.php?url=ftp://127.0.0.1:" + std::to_string(port) + "/v.mp4")).body);
    ASSERT_TRUE(relay.starts_with(Base() + "/" + kKey + "/relay/")) << relay;
    const RawAnswer relayed = RawGet(Port(), PathOf(relay));
    EXPECT_EQ(relayed.status, 502);
    EXPECT_EQ(relayed.body, "the ftp server does not answer\n");
  }
  EXPECT_FALSE(ftp.Connected());
}

// A magnet of a torrent nobody has, naming a tracker, a web seed and a peer on this machine.
// On loopback the swarm goes where the link says; for a stranger it goes nowhere inside.
TEST_F(StreamServiceAccessTest, AStrangersLinkSendsTheSwarmNowhereInside) {
  for (const bool stranger : {false, true}) {
    SCOPED_TRACE(stranger ? "beyond loopback" : "on loopback");
    StartService([&](stream::StreamOptions& o) {
      if (stranger) o.bindAddress = "0.0.0.0";
      o.accessKey = kKey;
      o.metadataTimeout = std::chrono::seconds(3);
    });
    Listener tracker, seed, peer;
    const std::string link = "magnet:?xt=urn:btih:" + kHash + "&tr=http://127.0.0.1:" +
                             std::to_string(tracker.port()) + "/announce&ws=http://127.0.0.1:" +
                             std::to_string(seed.port()) + "/&x.pe=127.0.0.1:" + std::to_string(peer.port());
    EXPECT_TRUE(FileOf(RawGet(Port(), Keyed("/xml.php?url=" + link)).body).starts_with("resp"));
    EXPECT_EQ(tracker.Connected(), !stranger);
    EXPECT_EQ(peer.Connected(), !stranger);
    EXPECT_FALSE(seed.Connected()) << "a web seed is asked only for pieces";
    StopService();
  }
}

// Any page on the web can make a browser ask loopback for things; without the key it gets
// nothing done there. Programs, and the service's own page, are answered as before.
TEST_F(StreamServiceAccessTest, OnLoopbackAPageOfAnotherOriginGetsNothingWithoutTheKey) {
  StartService([](stream::StreamOptions& o) { o.accessKey = kKey; });
  const std::string own = "http://127.0.0.1:" + std::to_string(Port());
  Listener peer;
  const std::string resolve =
      "/xml.php?url=magnet:?xt=urn:btih:" + kHash + "&x.pe=127.0.0.1:" + std::to_string(peer.port());
  struct Case {
    const char* what;
    std::string headers;
    bool keyed;
    int status;  // of GET /status/HASH: 404 answered (nothing streams), 403 refused
  } cases[] = {
      {"a program", "", false, 404},
      {"typed into the address bar", "Sec-Fetch-Site: none\r\n", false, 404},
      {"the service's own page", "Sec-Fetch-Site: same-origin\r\nReferer: " + own + "/page\r\n", false, 404},
      {"a page request naming itself", "Referer: " + own + "/status/x\r\n", false, 404},
      {"a page of another port", "Sec-Fetch-Site: same-site\r\n", false, 403},
      {"a page on the web", "Sec-Fetch-Site: cross-site\r\n", false, 403},
      {"a referrer of another origin", "Referer: http://127.0.0.1:8000/a.html\r\n", false, 403},
      {"an origin of another port", "Origin: http://127.0.0.1:47084\r\n", false, 403},
      {"an opaque origin", "Origin: null\r\n", false, 403},
      {"another site's page with the key",
       "Sec-Fetch-Site: cross-site\r\nOrigin: https://player.example\r\n", true, 404},
  };
  for (const Case& c : cases) {
    const auto target = [&](const std::string& path) { return c.keyed ? Keyed(path) : path; };
    EXPECT_EQ(RawRequest(Port(), "GET", target("/status/" + kHash), c.headers).status, c.status) << c.what;
    if (c.status == 403) {
      const RawAnswer refused = RawRequest(Port(), "GET", target(resolve), c.headers);
      EXPECT_EQ(refused.status, 403) << c.what;
      EXPECT_EQ(RawRequest(Port(), "POST", target("/stop/" + kHash), c.headers).status, 403) << c.what;
    }
  }
  EXPECT_EQ(RawGet(Port(), Keyed("/status/" + kHash)).status, 404) << "no torrent was added";
  EXPECT_FALSE(peer.Connected()) << "the peer a page named was never called";
}

TEST_F(StreamServiceAccessTest, OnLoopbackTheSameInsideFetchesArePlayed) {
  StartService();
  const auto seeder = MakeSeeder("local.mp4", {{"local.mp4", 1 << 20}});
  LocalServer inside;
  inside.server().Get("/a.torrent", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(seeder->TorrentBytes().begin(), seeder->TorrentBytes().end()),
                         "application/x-bittorrent");
  });
  inside.Start();
  const std::string video = Base() + "/stream/" + seeder->InfoHashHex() + "/local.mp4";
  EXPECT_EQ(Resolve(inside.base() + "/a.torrent"), video);
  EXPECT_EQ(Resolve(seeder->WriteTorrentFile(Root() / "local.torrent").string()), video);
}

TEST_F(StreamServiceAccessTest, OnLoopbackOnlyLoopbackNamesAreAnsweredAndAddressesAreItsOwn) {
  StartService();
  const std::string port = std::to_string(Port());
  struct Case {
    std::string host;
    int status;
  } cases[] = {
      {"127.0.0.1:" + port, 200},
      {"localhost:" + port, 200},
      {"rebound.example:" + port, 421},
      {"192.168.1.20:" + port, 421},
  };
  for (const Case& c : cases) {
    // RawRequest names 127.0.0.1 itself; a second Host line would be a different request.
    const int fd = ConnectLoopback(Port());
    const std::string request = "GET /xml.php?url=ftp://h.example/v.mkv HTTP/1.1\r\nHost: " + c.host + "\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string all;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) all.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    ASSERT_GE(all.size(), 12u) << c.host;
    EXPECT_EQ(std::stoi(all.substr(9, 3)), c.status) << c.host;
    // Built from the listening address, whatever the Host header said.
    if (c.status == 200) {
      EXPECT_EQ(FileOf(all), Base() + "/relay/1/v.mkv") << c.host;
    }
  }
  // A link cannot end the answer's element early.
  const RawAnswer escaped = RawGet(Port(), "/xml.php?url=http://m.example/v.mp4?a=1&b=</file><file>x");
  EXPECT_EQ(FileOf(escaped.body), "http://m.example/v.mp4?a=1&amp;b=&lt;/file&gt;&lt;file&gt;x");
}

TEST_F(StreamServiceAccessTest, StoppingAStreamIsAPostFromNoOtherSite) {
  StartService([](stream::StreamOptions& o) { o.accessKey = kKey; });
  const auto seeder = MakeSeeder("stop.mp4", {{"stop.mp4", 1 << 20}});
  const std::string hash = seeder->InfoHashHex();
  ASSERT_TRUE(Resolve(seeder->MagnetLink()).starts_with(Base() + "/stream/"));
  struct Case {
    std::string method, headers;
    int status;
    bool keyed = false;
  } cases[] = {
      {"GET", "", 405},
      {"HEAD", "", 405},
      {"POST", "Origin: https://evil.example\r\n", 403},
      {"POST", "Origin: null\r\n", 403},
      {"POST", "Origin: http://127.0.0.1.evil.example\r\n", 403},
      {"POST", "Origin: https://127.0.0.1:47084\r\n", 403},
      {"POST", "Origin: https://evil.example\r\n", 403, true},
      // The player page's own server, on loopback, with the key its address carries.
      {"POST", "Origin: https://127.0.0.1:47084\r\n", 200, true},
  };
  for (const Case& c : cases) {
    const RawAnswer answer =
        RawRequest(Port(), c.method, (c.keyed ? Keyed("/stop/") : "/stop/") + hash, c.headers);
    EXPECT_EQ(answer.status, c.status) << c.method << " " << c.headers;
    if (c.status == 405) {
      EXPECT_EQ(answer.Header("Allow"), "POST");
    }
    if (c.status != 200) {
      EXPECT_EQ(RawGet(Port(), "/status/" + hash).status, 200) << "still streaming";
    }
  }
  EXPECT_EQ(RawGet(Port(), "/status/" + hash).status, 404);
}

TEST_F(StreamServiceAccessTest, BeyondLoopbackItDoesNotStartWithoutAUsableKey) {
  for (const std::string& key : std::vector<std::string>{"", "short", kKey + "/x", kKey + " "}) {
    stream::StreamOptions options = LoopbackOptions(Cache());
    options.bindAddress = "0.0.0.0";
    options.accessKey = key;
    stream::StreamService service(options);
    EXPECT_FALSE(service.Start()) << "key \"" << key << "\"";
  }
  stream::StreamOptions options = LoopbackOptions(Cache());
  options.accessKey = kKey;  // on loopback a key is taken, not needed
  stream::StreamService service(options);
  ASSERT_TRUE(service.Start());
  EXPECT_EQ(RawGet(service.Port(), "/status/" + kHash).status, 404);
  EXPECT_EQ(RawGet(service.Port(), "/" + kKey + "/status/" + kHash).status, 404);
}

}  // namespace
}  // namespace morvane::testing
