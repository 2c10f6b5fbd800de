// The stand-in services read back through the program's own code: their result pages through
// the real fetch and scrapers, the publisher's texts through the cipher and the text rules.

#include <gtest/gtest.h>
#include <httplib.h>

#include "search/SiteScrapers.h"
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
    const std::string keyword = EncodeKeyword(Local(c.keyword));
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
        EXPECT_NE(FindText(fields.names[i], Local(c.keyword), 1, true), -1) << fields.names[i];
        EXPECT_FALSE(fields.sizes[i].empty());
      }
    }
  }
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
  EXPECT_EQ(TextBetween(info, Local("1："), "</p>"), "v4.1.8");

  const std::string version = FetchPage(DecipherText(settings.versionPageStored, ""));
  EXPECT_EQ(TextBetween(version, Local("2："), "</p>", 1, true),
            Base(Service::Publisher) + "/download/Morvane-v4.1.8");
  EXPECT_EQ(TextBetween(version, Local("3："), "</p>", 1, true), "Morvane-v4.1.8");

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

}  // namespace
}  // namespace morvane::services
