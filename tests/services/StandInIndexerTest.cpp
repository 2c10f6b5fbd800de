// The stand-in Torznab indexer read back through the program's own indexer search: both
// programs' paths, every kind of item, both ways of refusing a wrong key, and a log without
// the key.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "search/IndexerFile.h"
#include "search/IndexerSearch.h"
#include "services/Catalogue.h"
#include "services/StandInIndexer.h"
#include "web/FetchPage.h"
#include "web/Text.h"

namespace morvane::services {
namespace {

constexpr char kKey[] = "test-indexer-key-55";

class StandInIndexerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    catalogue_ = new Catalogue(Catalogue::Load(MORVANE_SERVICES_DATA_DIR "/catalogue",
                                               MORVANE_SERVICES_DATA_DIR "/media",
                                               MORVANE_GENERATED_MEDIA_DIR));
    log_ = new std::ostringstream;
    indexer_ =
        new StandInIndexer(*catalogue_, kKey, AnnounceAddress("127.0.0.1:1"), log_, &logMutex_);
    ASSERT_TRUE(indexer_->Start(0));
  }
  static void TearDownTestSuite() {
    delete indexer_;
    delete log_;
    delete catalogue_;
  }
  static IndexerSource Jackett(const std::string& key = kKey) {
    return *IndexerFromAddress("J", indexer_->JackettAddress(), key);
  }
  static IndexerSource Prowlarr(const std::string& key = kKey) {
    return *IndexerFromAddress("P", indexer_->ProwlarrAddress(), key);
  }
  static std::vector<std::string> Hashes(const std::string& keyword) {
    std::vector<std::string> hashes;
    for (const CatalogueEntry* e : catalogue_->Search(keyword)) hashes.push_back(e->hash);
    return hashes;
  }

  // The log so far. A request's line is written once its answer has gone out, so it may
  // come a moment after the client has the answer.
  static std::string LogOnceItHolds(const std::string& line) {
    for (int i = 0; i < 200; ++i) {
      {
        std::lock_guard lock(logMutex_);
        if (log_->str().find(line) != std::string::npos) return log_->str();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard lock(logMutex_);
    return log_->str();
  }

  static Catalogue* catalogue_;
  static std::mutex logMutex_;
  static std::ostringstream* log_;
  static StandInIndexer* indexer_;
};

Catalogue* StandInIndexerTest::catalogue_ = nullptr;
std::mutex StandInIndexerTest::logMutex_;
std::ostringstream* StandInIndexerTest::log_ = nullptr;
StandInIndexer* StandInIndexerTest::indexer_ = nullptr;

TEST_F(StandInIndexerTest, BothPathsPageThroughTheCatalogue) {
  for (const IndexerSource& source : {Jackett(), Prowlarr()}) {
    SCOPED_TRACE(source.name);
    for (const char* keyword : {"sintel", "中国合伙人"}) {
      const std::vector<std::string> expected = Hashes(keyword);
      ASSERT_GT(expected.size(), static_cast<std::size_t>(kIndexerPageSize));
      std::vector<std::string> listed;
      for (int page = 1;; ++page) {
        const IndexerPage result =
            FetchIndexerPage(source, EncodeKeyword(Gbk(keyword)), page);
        ASSERT_EQ(result.error, "");
        if (result.fields.hashes.empty()) break;
        ASSERT_LE(result.fields.hashes.size(), static_cast<std::size_t>(kIndexerPageSize));
        listed.insert(listed.end(), result.fields.hashes.begin(), result.fields.hashes.end());
        // Names and sizes as the sites show them.
        const CatalogueEntry* first = catalogue_->FindByHash(result.fields.hashes[0]);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(LocalToUtf8(result.fields.names[0]), first->name);
        EXPECT_EQ(LocalToUtf8(result.fields.sizes[0]), first->size);
      }
      EXPECT_EQ(listed, expected) << keyword;
    }
  }
}

TEST_F(StandInIndexerTest, ItemsOfEveryKind) {
  FetchOptions asReceived;
  asReceived.asReceived = true;
  const TorznabAnswer answer =
      ReadTorznabAnswer(FetchPageBytes(IndexerAddress(Jackett(), "sintel", 1), asReceived));
  ASSERT_EQ(answer.kind, TorznabAnswer::Kind::Feed);
  std::set<std::string> kinds;
  for (const TorznabItem& item : answer.items) {
    if (item.magnetUrl.starts_with("magnet:")) kinds.insert("magnet link");
    else if (item.magnetUrl.starts_with("http")) kinds.insert("magneturl address");
    else if (!item.infoHash.empty()) kinds.insert("infohash");
    else if (item.link.find("/magnet?") != std::string::npos) kinds.insert("link to a magnet link");
    else if (item.link.find(".torrent?") != std::string::npos) kinds.insert("link to a torrent");
    // Every kind leads to the catalogue's torrent.
    const LinkFollower follow = [](const std::string& a, std::string_view t) {
      return FollowToMagnet(a, t, std::chrono::steady_clock::now() + std::chrono::seconds(10));
    };
    const std::string magnet = ItemMagnet(item, follow);
    ASSERT_NE(catalogue_->FindByHash(magnet.substr(20, 40)), nullptr) << magnet;
  }
  EXPECT_EQ(kinds.size(), 5u);
}

TEST_F(StandInIndexerTest, AWrongKeyIsRefusedEachProgramsWay) {
  const struct {
    const char* name;
    IndexerSource source;
    std::string error;
  } cases[] = {
      {"Jackett's path", Jackett("wrong"), "error 100: Invalid API Key"},
      {"Prowlarr's path", Prowlarr("wrong"), "HTTP 401 Unauthorized"},
      {"no key", Prowlarr(""), "HTTP 401 Unauthorized"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const IndexerPage page = FetchIndexerPage(c.source, "sintel", 1);
    EXPECT_EQ(page.error, c.error);
    EXPECT_TRUE(page.fields.hashes.empty());
  }
  // Download links want the key too.
  const std::string hash = catalogue_->entries().front().hash;
  std::string raw;
  FetchOptions options;
  options.rawHeaders = &raw;
  options.asReceived = true;
  FetchPageBytes("http://127.0.0.1:" + std::to_string(indexer_->Port()) + "/dl/" + hash +
                     ".torrent?apikey=wrong",
                 options);
  EXPECT_TRUE(raw.starts_with("HTTP/1.1 401")) << raw;
}

TEST_F(StandInIndexerTest, TheLogShowsNoKey) {
  FetchIndexerPage(Prowlarr(), "sintel", 1);
  const std::string searched =
      "indexer GET /1/api?t=search&q=sintel&limit=20&offset=0&apikey=*** 200";
  const std::string log = LogOnceItHolds(searched);
  EXPECT_NE(log.find(searched), std::string::npos) << log;
  EXPECT_NE(log.find("/dl/"), std::string::npos);
  EXPECT_EQ(log.find(kKey), std::string::npos);
}

TEST_F(StandInIndexerTest, TheRunCommandsFileNamesItUnderBothPaths) {
  const IndexerFile file = ParseIndexerText(StandInIndexerFile(indexer_->Port(), kKey));
  EXPECT_TRUE(file.problems.empty());
  ASSERT_EQ(file.indexers.size(), 2u);
  for (const IndexerSource& source : file.indexers) {
    SCOPED_TRACE(source.name);
    EXPECT_EQ(source.apiKey, kKey);
    const IndexerPage page = FetchIndexerPage(source, "lantern", 1);
    EXPECT_EQ(page.error, "");
    EXPECT_EQ(page.fields.hashes, Hashes("lantern"));
  }
}

}  // namespace
}  // namespace morvane::services
