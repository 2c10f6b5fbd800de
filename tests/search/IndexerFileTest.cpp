// The indexer file: addresses as Jackett and Prowlarr show them, the key beside the address
// or inside it, the order of the lines, and lines that name no indexer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "search/IndexerFile.h"
#include "tests/support/ScratchFolder.h"
#include "web/Text.h"

namespace morvane {
namespace {

using testing::ScratchFolder;

struct AddressCase {
  const char* address;
  const char* key;
  const char* apiAddress;  // nullptr: no indexer
  const char* apiKey;
};

TEST(IndexerFile, AddressesAndKeys) {
  const AddressCase cases[] = {
      {"http://127.0.0.1:9117/api/v2.0/indexers/all/results/torznab/", "K1",
       "http://127.0.0.1:9117/api/v2.0/indexers/all/results/torznab/api", "K1"},
      {"http://127.0.0.1:9117/api/v2.0/indexers/all/results/torznab", "K1",
       "http://127.0.0.1:9117/api/v2.0/indexers/all/results/torznab/api", "K1"},
      {"http://localhost:9696/1/api?apikey=K2", "", "http://localhost:9696/1/api", "K2"},
      {"HTTPS://box/prowlarr/1/api?ApiKey=K2&cat=2000,5000#top", "",
       "HTTPS://box/prowlarr/1/api?cat=2000,5000", "K2"},
      {"http://box/1/api?apikey=inside", "given", "http://box/1/api", "given"},
      {"http://box/1/api?t=caps&q=x&limit=5&offset=9&extended=1", "",
       "http://box/1/api?extended=1", ""},
      {"http://box:9696", "", "http://box:9696/api", ""},
      {"ftp://box/1/api", "", nullptr, ""},
      {"box/1/api", "", nullptr, ""},
      {"http://", "", nullptr, ""},
      {"http:///1/api", "", nullptr, ""},
      {"", "", nullptr, ""},
  };
  for (const AddressCase& c : cases) {
    SCOPED_TRACE(c.address);
    const auto indexer = IndexerFromAddress("名字", c.address, c.key);
    if (c.apiAddress == nullptr) {
      EXPECT_FALSE(indexer.has_value());
      continue;
    }
    ASSERT_TRUE(indexer.has_value());
    EXPECT_EQ(indexer->name, Gbk("名字"));
    EXPECT_EQ(indexer->apiAddress, c.apiAddress);
    EXPECT_EQ(indexer->apiKey, c.apiKey);
  }
}

TEST(IndexerFile, LinesInOrderAndProblemsWithoutTheirKeys) {
  ScratchFolder folder;
  const std::string path = folder.Write(
      "indexers.conf",
      "# my indexers\r\n"
      "Jackett = http://127.0.0.1:9117/api/v2.0/indexers/all/results/torznab/  SECRETKEY1 \r\n"
      "中文 索引 = http://127.0.0.1:9696/2/api?apikey=SECRETKEY2\n"
      "\n"
      "Alpha = http://a/1/api\n"
      "no equals sign SECRETKEY3\n"
      "Broken = ftp://b/api SECRETKEY4\n"
      "Jackett = http://127.0.0.1:9117/api/v2.0/indexers/one/results/torznab/ SECRETKEY5\n");
  const IndexerFile file = ReadIndexerFile(path);
  ASSERT_EQ(file.indexers.size(), 3u);
  // A repeated name keeps its first place and takes its last address.
  EXPECT_EQ(file.indexers[0].name, "Jackett");
  EXPECT_EQ(file.indexers[0].apiAddress,
            "http://127.0.0.1:9117/api/v2.0/indexers/one/results/torznab/api");
  EXPECT_EQ(file.indexers[0].apiKey, "SECRETKEY5");
  EXPECT_EQ(file.indexers[1].name, Gbk("中文 索引"));
  EXPECT_EQ(file.indexers[1].apiKey, "SECRETKEY2");
  EXPECT_EQ(file.indexers[2].name, "Alpha");
  EXPECT_EQ(file.indexers[2].apiKey, "");

  ASSERT_EQ(file.problems.size(), 2u);
  EXPECT_EQ(file.problems[0], "line 6 is not NAME = ADDRESS [KEY]");
  EXPECT_EQ(file.problems[1], "\"Broken\" has no http or https address");
  for (const std::string& problem : file.problems)
    EXPECT_EQ(problem.find("SECRETKEY"), std::string::npos) << problem;

  EXPECT_TRUE(ReadIndexerFile(folder.Path("missing.conf")).indexers.empty());
  EXPECT_TRUE(ReadIndexerFile("").indexers.empty());
}

}  // namespace
}  // namespace morvane
