// The stand-in services read back through the program's own code: their result pages through
// the real fetch and scrapers, the publisher's texts through the cipher and the text rules.

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "search/SiteScrapers.h"
#include "tests/support/RawHttp.h"
#include "services/Catalogue.h"
#include "services/Pages.h"
#include "services/StandInServices.h"
#include "update/Cipher.h"
#include "web/FetchPage.h"
#include "web/Text.h"

namespace morvane::services {
namespace {

class ServicesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ServicesOptions options;
    options.portBase = 0;
    options.catalogueDir = MORVANE_SERVICES_DATA_DIR "/catalogue";
    options.mediaDir = MORVANE_SERVICES_DATA_DIR "/media";
    options.extraMediaDir = MORVANE_GENERATED_MEDIA_DIR;
    options.standInResolution = true;
    services_ = new StandInServices(options);
    ASSERT_TRUE(services_->Start());
  }
  static void TearDownTestSuite() {
    delete services_;
    services_ = nullptr;
  }
  static std::string Base(Service s) { return "http://" + services_->Host(s); }
  static StandInServices* services_;
};

StandInServices* ServicesTest::services_ = nullptr;

struct SearchCase {
  SearchSite site;
  const char* keyword;  // UTF-8
  std::vector<std::size_t> pageSizes;  // results on pages 1, 2, ...
};

TEST_F(ServicesTest, ResultPagesRoundTripThroughTheScrapers) {
  const SearchCase cases[] = {
      {kFirstSite, "sintel", {20, 10, 0}},
      {kFirstSite, "SINTEL.2010.第0", {9, 0}},
      {kSecondSite, "中国合伙人", {20, 4, 0}},
      {kSecondSite, "Lantern", {9, 0}},
      {kFirstSite, "完整版", {3, 0}},
      {kFirstSite, "no such film", {0}},
  };
  for (const auto& c : cases) {
    const std::string keyword = EncodeKeyword(Gbk(c.keyword));
    for (std::size_t page = 1; page <= c.pageSizes.size(); ++page) {
      SCOPED_TRACE(std::string(c.keyword) + " page " + std::to_string(page));
      const ScrapedFields fields =
          c.site == kFirstSite
              ? ScrapeFirstSite(FetchPage(FirstSiteAddress(Base(Service::FirstSite), keyword,
                                                           static_cast<int>(page))))
              : ScrapeSecondSite(FetchPage(SecondSiteAddress(Base(Service::SecondSite), keyword,
                                                             static_cast<int>(page))),
                                 Base(Service::SecondSite));
      const std::size_t expected = c.pageSizes[page - 1];
      ASSERT_EQ(fields.hashes.size(), expected);
      ASSERT_EQ(fields.names.size(), expected);
      ASSERT_EQ(fields.sizes.size(), expected);
      for (std::size_t i = 0; i < expected; ++i) {
        EXPECT_EQ(fields.hashes[i].size(), 40u);
        EXPECT_NE(FindText(fields.names[i], Gbk(c.keyword), 1, true), -1) << fields.names[i];
        EXPECT_FALSE(fields.sizes[i].empty());
      }
    }
  }
}

// The file a result lists is the one inside its torrent: the video's own extension, which
// is also what the player is served.
TEST(ServicesPagesTest, FirstSiteListsTheVideoUnderItsOwnExtension) {
  CatalogueEntry mp4{"Long.H264", "long.mp4", "6.8 MB", "", std::string(40, 'a'), "", "", {}, {}};
  CatalogueEntry webm{"Long.WebM", "long.webm", "7.1 MB", "", std::string(40, 'b'), "", "", {}, {}};
  const std::string page = FirstSiteResultPage("long", {&mp4, &webm});
  EXPECT_NE(page.find("<li>Long.H264.mp4\n"), std::string::npos) << page;
  EXPECT_NE(page.find("<li>Long.WebM.webm\n"), std::string::npos) << page;
  EXPECT_EQ(page.find("H264.webm"), std::string::npos) << page;
}

TEST_F(ServicesTest, ResolutionKnowsCatalogueLinksAndRejectsOthers) {
  const std::string first = ScrapeFirstSite(FetchPage(FirstSiteAddress(
                                                Base(Service::FirstSite), "harbor", 1)))
                                .hashes.at(0);
  const std::string resolve = Base(Service::Resolution) + "/xml.php?url=";
  const std::string player = "https://" + services_->Host(Service::Player) + "/media/";
  struct Case {
    std::string link;
    std::string address;  // "" when the link must be rejected
  };
  std::string upper = first;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  const Case cases[] = {
      {"magnet:?xt=urn:btih:" + first, player + "harbor.webm"},
      {"magnet:?xt=urn:btih:" + upper, player + "harbor.webm"},
      {"http://" + services_->Host(Service::Publisher) + "/media/lantern.webm",
       player + "lantern.webm"},
      {"magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567", ""},
      {"ed2k://|file|x|1|0|/", ""},
      {"http://example.invalid/media/../../etc/passwd", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    const std::string page = FetchPage(resolve + c.link);
    const std::string address = TextBetween(page, "<file>", "</file>");
    if (c.address.empty())
      EXPECT_NE(FindText(address, "resp"), -1) << page;
    else
      EXPECT_EQ(address, c.address);
  }
}

TEST_F(ServicesTest, PublisherTextsReadAsTheProgramReadsThem) {
  const Settings settings = services_->ProgramSettings();
  const std::string info = FetchPage(DecipherText(settings.infoPageStored, ""));
  ASSERT_EQ(FindText(info, "lj"), 1);
  EXPECT_EQ(DecipherText(TextBetween(info, "lj", "lj"), ""),
            "https://" + services_->Host(Service::Player) + "/player.html?url=");
  EXPECT_EQ(TextBetween(info, Gbk("1："), "</p>"), "v4.1.8");

  const std::string version = FetchPage(DecipherText(settings.versionPageStored, ""));
  EXPECT_EQ(TextBetween(version, Gbk("2："), "</p>", 1, true),
            Base(Service::Publisher) + "/download/Morvane-v4.1.8");
  EXPECT_EQ(TextBetween(version, Gbk("3："), "</p>", 1, true), "Morvane-v4.1.8");

  const TextList keywords =
      SplitText(FetchPage(DecipherText(settings.keywordListStored, "")), "\r\n");
  ASSERT_FALSE(keywords.empty());
  EXPECT_EQ(keywords.front(), "sintel");

  const TextList links =
      SplitText(FetchPage("http://" + settings.publisherHost + "//adminapi/sjlj.txt"), "\r\n");
  ASSERT_GE(links.size(), 2u);
  for (const auto& link : links) {
    const std::string address =
        TextBetween(FetchPage(Base(Service::Resolution) + "/xml.php?url=" + link), "<file>",
                    "</file>");
    EXPECT_EQ(FindText(address, "resp"), -1) << link;
  }
}

TEST_F(ServicesTest, MediaAnswersRangeRequestsAndPlayerSpeaksHttps) {
  httplib::Client media(Base(Service::LiveTv));
  const auto part = media.Get("/media/sintel.webm", {{"Range", "bytes=0-99"}});
  ASSERT_TRUE(part);
  EXPECT_EQ(part->status, 206);
  EXPECT_EQ(part->body.size(), 100u);

  httplib::SSLClient player("127.0.0.1", services_->Port(Service::Player));
  player.enable_server_certificate_verification(false);
  const auto page = player.Get("/player.html?url=https://x/media/a.webm");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("<video"), std::string::npos);
  const auto library = player.Get("/api/play.jsp?url=http%3A%2F%2Fv.example%2Fa_b");
  ASSERT_TRUE(library);
  EXPECT_NE(library->body.find("http://v.example/a_b"), std::string::npos);
}

TEST(StandInServicesStart, RefusesAnEmptyCatalogueAndABusyPort) {
  ServicesOptions empty;
  empty.portBase = 0;
  empty.catalogueDir = "/nonexistent";
  empty.mediaDir = "/nonexistent";
  EXPECT_FALSE(StandInServices(empty).Start());

  ServicesOptions options;
  options.portBase = 0;
  options.catalogueDir = MORVANE_SERVICES_DATA_DIR "/catalogue";
  options.mediaDir = MORVANE_SERVICES_DATA_DIR "/media";
  StandInServices first(options);
  ASSERT_TRUE(first.Start());
  options.portBase = first.Port(Service::Publisher);
  EXPECT_FALSE(StandInServices(options).Start());
}

ServicesOptions FreePortOptions() {
  ServicesOptions options;
  options.portBase = 0;
  options.catalogueDir = MORVANE_SERVICES_DATA_DIR "/catalogue";
  options.mediaDir = MORVANE_SERVICES_DATA_DIR "/media";
  // The resolution stand-in is one of the servers under test here.
  options.standInResolution = true;
  return options;
}

TEST(StandInServicesLog, RequestsCannotForgeLinesOrDriveTheTerminal) {
  std::ostringstream log;
  ServicesOptions options = FreePortOptions();
  options.log = &log;
  StandInServices services(options);
  ASSERT_TRUE(services.Start());
  const std::string targets[] = {
      "/xml.php?url=a\nresolution GET /forged 200",
      "/xml.php?url=\x1b[2J\x1b]0;owned\x07\x7f\xc2\x9b",
      "/\x1b[31m\r",
  };
  int requests = 0;
  for (const Service service : {Service::Resolution, Service::Publisher, Service::LiveTv}) {
    for (const auto& target : targets) {
      morvane::testing::RawExchange(
          services.Port(service),
          "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
          std::chrono::seconds(1));
      ++requests;
    }
  }
  services.Stop();  // every line is written once the servers have stopped

  const std::string text = log.str();
  int lines = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    ++lines;
    SCOPED_TRACE(line);
    EXPECT_TRUE(line.rfind("resolution ", 0) == 0 || line.rfind("publisher ", 0) == 0 ||
                line.rfind("live-tv ", 0) == 0);
    EXPECT_EQ(line.find("\xc2\x9b"), std::string::npos);
    for (const char c : line)
      EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f) << static_cast<int>(c);
  }
  EXPECT_LE(lines, requests);
  EXPECT_EQ(text.find("\nresolution GET /forged"), std::string::npos) << text;
  EXPECT_NE(text.find("\\x0aresolution GET /forged 200 200"), std::string::npos) << text;
}

TEST(StandInServicesLoad, SlowClientsDoNotStallTheServices) {
  StandInServices services(FreePortOptions());
  ASSERT_TRUE(services.Start());
  // Sixteen slow connections on each service: half send a byte every 100 ms, half nothing.
  constexpr int kSlow = 16;
  const Service probed[] = {Service::Publisher, Service::LiveTv, Service::Resolution,
                            Service::Player};
  std::vector<int> slow;
  for (const Service service : probed)
    for (int i = 0; i < kSlow; ++i) {
      const int fd = morvane::testing::ConnectLoopback(services.Port(service));
      ASSERT_GE(fd, 0);
      slow.push_back(fd);
    }
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    const std::string request = "GET /adminapi/info.html?a=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
    for (std::size_t at = 0; !done; at = (at + 1) % request.size()) {
      for (std::size_t i = 0; i < slow.size(); i += 2)
        ::send(slow[i], request.data() + at, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  // Every service still answers at once, while the slow ones are still connected.
  for (const Service service : probed) {
    SCOPED_TRACE(services.Host(service));
    const auto start = std::chrono::steady_clock::now();
    if (service == Service::Player) {
      httplib::SSLClient client("127.0.0.1", services.Port(service));
      client.enable_server_certificate_verification(false);
      client.set_connection_timeout(3, 0);
      client.set_read_timeout(3, 0);
      const auto page = client.Get("/player.html");
      ASSERT_TRUE(page);
      EXPECT_EQ(page->status, 200);
    } else {
      const std::string target = service == Service::Resolution ? "/xml.php?url=x"
                                 : service == Service::LiveTv   ? "/images/img/100/"
                                                                : "/adminapi/info.html";
      const std::string answer = morvane::testing::RawExchange(
          services.Port(service), "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
          std::chrono::seconds(3));
      EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  }
  done = true;
  trickle.join();
  for (const int fd : slow) ::close(fd);
}

}  // namespace
}  // namespace morvane::services
