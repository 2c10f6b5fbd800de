// The access key: which keys are usable, how a request carries one, and its file.

#include "stream/AccessKey.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "platform/Files.h"
#include "tests/support/ScratchFolder.h"

namespace morvane::stream {
namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef";

TEST(AccessKeyTest, UsableKeysFitOnePathSegment) {
  const std::pair<std::string, bool> cases[] = {
      {kKey, true},
      {"Abc-def_ghi.jkl~mn", true},
      {std::string(256, 'k'), true},
      {std::string(257, 'k'), false},
      {"fifteen-chars-x", false},
      {"", false},
      {kKey + "/", false},
      {kKey + "?", false},
      {kKey + " ", false},
      {kKey + "%41", false},
      {"stream", false},
  };
  for (const auto& [key, usable] : cases) EXPECT_EQ(IsUsableKey(key), usable) << key;
}

TEST(AccessKeyTest, ARequestCarriesTheKeyAsItsFirstSegmentOrABearer) {
  struct Case {
    std::string target, authorization;
    bool carries;
    std::string path;
  } cases[] = {
      {"/" + kKey + "/xml.php?url=magnet:?xt=a/b", "", true, "/xml.php?url=magnet:?xt=a/b"},
      {"/" + kKey + "/status/ab", "", true, "/status/ab"},
      {"/" + kKey, "", true, "/"},
      {"/" + kKey + "?x", "", true, "/?x"},
      {"/status/ab", "Bearer " + kKey, true, "/status/ab"},
      {"/status/ab", "bearer   " + kKey + " ", true, "/status/ab"},
      {"/status/ab", "Bearer " + kKey.substr(1), false, "/status/ab"},
      {"/status/ab", "Basic " + kKey, false, "/status/ab"},
      {"/status/ab", kKey, false, "/status/ab"},
      {"/" + kKey + "x/status/ab", "", false, "/" + kKey + "x/status/ab"},
      {"/x" + kKey + "/status/ab", "", false, "/x" + kKey + "/status/ab"},
      {"/status/" + kKey, "", false, "/status/" + kKey},
      {"//" + kKey + "/status/ab", "", false, "//" + kKey + "/status/ab"},
  };
  for (const Case& c : cases) {
    std::string path;
    EXPECT_EQ(CarriesKey(c.target, c.authorization, kKey, path), c.carries) << c.target << " " << c.authorization;
    EXPECT_EQ(path, c.path) << c.target;
  }
  std::string path;
  EXPECT_FALSE(CarriesKey("/", "Bearer ", "", path)) << "no key: nothing carries it";
  EXPECT_TRUE(KeysMatch(kKey, kKey));
  EXPECT_FALSE(KeysMatch(kKey, ""));
  EXPECT_FALSE(KeysMatch("", ""));
  EXPECT_FALSE(KeysMatch(kKey + "0", kKey));
}

TEST(AccessKeyTest, TheKeyFileIsMadeOnceOwnerOnlyAndReadAfter) {
  const testing::ScratchFolder folder;
  const std::string path = folder.path() + "/config/morvane/stream-token";
  const KeyFile made = LoadOrMakeKey(path);
  ASSERT_TRUE(made.made) << made.error;
  EXPECT_TRUE(IsUsableKey(made.key));
  EXPECT_EQ(made.key.size(), 32u);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const KeyFile again = LoadOrMakeKey(path);
  EXPECT_FALSE(again.made);
  EXPECT_EQ(again.key, made.key);
  EXPECT_NE(LoadOrMakeKey(folder.path() + "/other").key, made.key) << "random, not fixed";

  struct Case {
    const char* content;
    std::string key;
  } cases[] = {
      {"  my-own-key-of-twenty-chars \n", "my-own-key-of-twenty-chars"},
      {"short\n", ""},
      {"", ""},
      {"two words that are long enough\n", ""},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteWholeFile(path, c.content));
    const KeyFile read = LoadOrMakeKey(path);
    EXPECT_EQ(read.key, c.key) << c.content;
    EXPECT_FALSE(read.made);
    EXPECT_EQ(read.error.empty(), !c.key.empty()) << c.content;
  }
}

TEST(AccessKeyTest, OnlyARegularFileOfTheOwnersHoldsTheKey) {
  const testing::ScratchFolder folder;
  const std::string good = folder.path() + "/good";
  ASSERT_TRUE(WriteWholeFile(good, kKey + "\n"));
  ASSERT_EQ(::chmod(good.c_str(), 0600), 0);
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> make;
    std::string key;     // "" when refused
    bool notice = false;  // said that it was tightened
    mode_t mode = 0;      // the file's mode afterwards, when one is expected
  } cases[] = {
      {"a link to a good key file", [&](const std::string& p) { ::symlink(good.c_str(), p.c_str()); }, ""},
      {"a dangling link", [&](const std::string& p) { ::symlink((p + ".gone").c_str(), p.c_str()); }, ""},
      {"a link to itself", [&](const std::string& p) { ::symlink(p.c_str(), p.c_str()); }, ""},
      {"a loop of two links",
       [&](const std::string& p) {
         ::symlink((p + ".b").c_str(), p.c_str());
         ::symlink(p.c_str(), (p + ".b").c_str());
       },
       ""},
      {"a folder", [&](const std::string& p) { ::mkdir(p.c_str(), 0700); }, ""},
      {"a FIFO nobody writes", [&](const std::string& p) { ::mkfifo(p.c_str(), 0600); }, ""},
      {"readable by everyone",
       [&](const std::string& p) {
         WriteWholeFile(p, kKey + "\n");
         ::chmod(p.c_str(), 0644);
       },
       kKey, true, 0600},
      {"writable by its group",
       [&](const std::string& p) {
         WriteWholeFile(p, kKey + "\n");
         ::chmod(p.c_str(), 0620);
       },
       kKey, true, 0600},
      {"the owner's alone", [&](const std::string& p) { ::link(good.c_str(), p.c_str()); }, kKey, false, 0600},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = folder.path() + "/key" + std::to_string(n++);
    c.make(path);
    const KeyFile read = LoadOrMakeKey(path);
    EXPECT_EQ(read.key, c.key) << c.what;
    EXPECT_FALSE(read.made) << c.what;
    EXPECT_EQ(read.error.empty(), !c.key.empty()) << c.what << ": " << read.error;
    EXPECT_EQ(read.notice.empty(), !c.notice) << c.what << ": " << read.notice;
    struct stat info {};
    if (c.mode != 0 && ::lstat(path.c_str(), &info) == 0) {
      EXPECT_EQ(info.st_mode & 0777, c.mode) << c.what;
    }
  }
  EXPECT_NE(NewRandomKey(), NewRandomKey());
  EXPECT_TRUE(IsUsableKey(NewRandomKey()));
}

}  // namespace
}  // namespace morvane::stream
