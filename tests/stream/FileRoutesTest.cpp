// A season pack through the whole service: "so=" picks the episode, /files/ lists the pack
// with an address for each video that streams exactly that file, choosing another stops the
// one before, subtitles follow the episode, and the viewer's place in each film is kept.

#include "stream/FileRoutes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "stream/CacheFolder.h"
#include "tests/stream/StreamFixture.h"
#include "tests/support/LocalServer.h"
#include "tests/support/ScopedLocale.h"

namespace fs = std::filesystem;

namespace morvane::testing {
namespace {

const std::string kE1Subtitle = "1\n00:00:01,000 --> 00:00:02,000\nE1\n";
const std::string kE2Subtitle = "1\n00:00:01,000 --> 00:00:02,000\n第二集\n";

// Three episodes (the first the largest, added out of order), a sample, two subtitles named
// for their episodes and a text file.
std::vector<SeedFile> SeasonPack() {
  return {{"readme.txt", 5000},
          {"Show.S01E10.mp4", 400000},
          {"Show.S01E2.mp4", 300000},
          {"Show.S01E1.mp4", 900000},
          {"Show.S01E1.srt", 0, kE1Subtitle},
          {"Show.S01E2.chs.srt", 0, kE2Subtitle},
          {"Sample/Show.S01E1.sample.mkv", 50000}};
}

struct ListedFile {
  int index = -1;
  std::string name;
  std::int64_t size = 0;
  bool video = false;
  std::string address;
  bool playing = false;
  bool sample = false;
};

std::vector<ListedFile> ParseFiles(const std::string& json) {
  static const std::regex element(
      R"re(\{"index":(\d+),"name":"([^"]*)","size":(\d+),"video":(true|false)(?:,"address":"([^"]*)","playing":(true|false),"sample":(true|false))?\})re");
  std::vector<ListedFile> files;
  for (std::sregex_iterator it(json.begin(), json.end(), element), end; it != end; ++it)
    files.push_back({std::stoi((*it)[1]), (*it)[2], std::stoll((*it)[3]), (*it)[4] == "true", (*it)[5],
                     (*it)[6] == "true", (*it)[7] == "true"});
  return files;
}

const std::string kKey = "0123456789abcdef0123456789abcdef";

class FileRoutesTest : public StreamFixture {
 protected:
  void StartKeyed() {
    StartService([](stream::StreamOptions& o) { o.accessKey = kKey; });
  }
  std::vector<ListedFile> Files(const std::string& hash) {
    const RawAnswer answer = RawGet(Port(), "/files/" + hash);
    EXPECT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.Header("Content-Type"), "application/json");
    return ParseFiles(answer.body);
  }
  // Index of the file whose path ends with `name`.
  static int IndexOf(const std::vector<ListedFile>& files, const std::string& name) {
    for (const ListedFile& f : files)
      if (f.name.ends_with("/" + name)) return f.index;
    ADD_FAILURE() << "no " << name;
    return -1;
  }
};

TEST_F(FileRoutesTest, TheListHoldsEveryFileWithAddressesThatStreamExactlyThatVideo) {
  StartService();
  const auto seeder = MakeSeeder("Show", SeasonPack());
  const std::string hash = seeder->InfoHashHex();
  EXPECT_EQ(Resolve(seeder->MagnetLink()), Base() + "/stream/" + hash + "/Show.S01E1.mp4");

  std::vector<ListedFile> files = Files(hash);
  std::vector<std::string> names;
  for (const ListedFile& f : files) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Show/Show.S01E1.mp4", "Show/Show.S01E2.mp4", "Show/Show.S01E10.mp4",
                                             "Show/Sample/Show.S01E1.sample.mkv", "Show/readme.txt",
                                             "Show/Show.S01E1.srt", "Show/Show.S01E2.chs.srt"}));
  std::map<std::string, std::int64_t> sizes;
  for (const SeedFile& f : SeasonPack()) sizes["Show/" + f.path] = f.bytes.empty() ? f.size : f.bytes.size();
  for (const ListedFile& f : files) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(f.size, sizes[f.name]);
    const bool video = f.name.ends_with(".mp4") || f.name.ends_with(".mkv");
    EXPECT_EQ(f.video, video);
    EXPECT_EQ(f.address.empty(), !video);
    EXPECT_EQ(f.playing, f.name == "Show/Show.S01E1.mp4");
    EXPECT_EQ(f.sample, f.name.find("Sample/") != std::string::npos);
    EXPECT_TRUE(!video || f.address.starts_with("/stream/" + hash + "/")) << f.address;
  }
  // Nothing but the playing episode was fetched.
  const fs::path data = Cache() / hash / "Show";
  ASSERT_EQ(RawGet(Port(), files[0].address).body.size(), 900000u);
  EXPECT_LT(stream::CacheFolder::DiskUsage(data / "Show.S01E10.mp4"), 200000u);

  // Each video's address streams that file, whole and in ranges, without taking the
  // download from the episode that plays.
  for (const ListedFile& f : files) {
    if (!f.video) continue;
    SCOPED_TRACE(f.name);
    const std::string source = ReadAll(seeder->SourcePath(f.name.substr(5)));
    const RawAnswer whole = RawGet(Port(), f.address);
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.Header("Content-Length"), std::to_string(source.size()));
    EXPECT_TRUE(whole.body == source);
    const RawAnswer middle = RawGet(Port(), f.address, "Range: bytes=1000-20999\r\n");
    EXPECT_EQ(middle.status, 206);
    EXPECT_TRUE(middle.body == source.substr(1000, 20000));
    for (const ListedFile& now : Files(hash)) EXPECT_EQ(now.playing, now.name == "Show/Show.S01E1.mp4") << now.name;
  }

  const struct {
    const char* target;
    int status;
  } refused[] = {
      {"/stream/HASH/readme.txt", 404},
      {"/stream/HASH/Show.S01E1.srt", 404},
      {"/stream/HASH/nothing.mp4", 404},
      {"/stream/HASH/", 200},  // no name: the video that plays
      {"/stream/HASH/Show%2FShow.S01E1.mp4", 200},  // the whole path names it too
      {"/files/UPPER", 404},
      {"/files/0123456789abcdef0123456789abcdef01234567", 404},
      {"/files/xyz", 404},
      {"/files/", 404},
  };
  std::string upper = hash;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const auto& c : refused) {
    std::string target = std::regex_replace(c.target, std::regex("HASH"), hash);
    target = std::regex_replace(target, std::regex("UPPER"), upper);
    EXPECT_EQ(RawRequest(Port(), "HEAD", target).status, c.status) << target;
  }
  EXPECT_EQ(RawRequest(Port(), "POST", "/files/" + hash).status, 405);
}

TEST_F(FileRoutesTest, SelectOnlyPlaysTheFirstListedVideoElseTheLargest) {
  StartService();
  const auto seeder = MakeSeeder("Show", SeasonPack());
  const std::string hash = seeder->InfoHashHex();
  Resolve(seeder->MagnetLink());
  const std::vector<ListedFile> files = Files(hash);
  const auto so = [&](const std::string& name) { return std::to_string(IndexOf(files, name)); };
  int lowestVideo = 1 << 30;
  std::string lowestName;
  for (const ListedFile& f : files) {
    if (!f.video || f.index >= lowestVideo) continue;
    lowestVideo = f.index;
    lowestName = f.name.substr(f.name.rfind('/') + 1);
  }
  LocalServer web;
  web.server().Get("/pack.torrent", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(seeder->TorrentBytes().begin(), seeder->TorrentBytes().end()),
                         "application/x-bittorrent");
  });
  web.Start();

  const struct {
    const char* what;
    std::string link;
    std::string plays;
  } cases[] = {
      {"single", seeder->MagnetLink() + "&so=" + so("Show.S01E10.mp4"), "Show.S01E10.mp4"},
      {"list: the first video listed",
       seeder->MagnetLink() + "&so=" + so("readme.txt") + "," + so("Show.S01E2.mp4") + "," + so("Show.S01E10.mp4"),
       "Show.S01E2.mp4"},
      {"range", seeder->MagnetLink() + "&so=0-999", lowestName},
      {"no video listed", seeder->MagnetLink() + "&so=" + so("readme.txt") + "," + so("Show.S01E1.srt"),
       "Show.S01E1.mp4"},
      {"out of range", seeder->MagnetLink() + "&so=999", "Show.S01E1.mp4"},
      {"garbage", seeder->MagnetLink() + "&so=x,-,9-1", "Show.S01E1.mp4"},
      {".torrent address", web.base() + "/pack.torrent?so=" + so("Show.S01E2.mp4"), "Show.S01E2.mp4"},
      {"without so=, the largest again", seeder->MagnetLink(), "Show.S01E1.mp4"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Resolve(c.link), Base() + "/stream/" + hash + "/" + c.plays) << c.what;
    for (const ListedFile& f : Files(hash)) EXPECT_EQ(f.playing, f.name.ends_with("/" + c.plays)) << c.what;
  }
}

TEST_F(FileRoutesTest, AnotherEpisodeChosenDownloadsWhileTheOneBeforeIsStillReadWhole) {
  StartService();
  // Slow enough that the first episode is still on its way when the second is chosen.
  const auto seeder = MakeSeeder("Show", SeasonPack(), {.uploadLimit = 150 << 10});
  const std::string hash = seeder->InfoHashHex();
  const std::string first = PathOf(Resolve(seeder->MagnetLink()));
  const std::string firstSource = ReadAll(seeder->SourcePath("Show.S01E1.mp4"));
  const std::string secondSource = ReadAll(seeder->SourcePath("Show.S01E2.mp4"));
  RawAnswer firstAnswer;
  std::thread reader([&] { firstAnswer = RawGet(Port(), first); });
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  const std::string so = std::to_string(IndexOf(Files(hash), "Show.S01E2.mp4"));
  const std::string second = Resolve(seeder->MagnetLink() + "&so=" + so);
  EXPECT_EQ(second, Base() + "/stream/" + hash + "/Show.S01E2.mp4");
  const RawAnswer head = RawGet(Port(), PathOf(second), "Range: bytes=0-9999\r\n");
  EXPECT_EQ(head.status, 206);
  EXPECT_TRUE(head.body == secondSource.substr(0, 10000));
  // The reader of the first goes on to its end with the first's bytes.
  reader.join();
  EXPECT_EQ(firstAnswer.status, 200);
  EXPECT_TRUE(firstAnswer.body == firstSource);
  // The second is the one that downloads now, whole, with nobody reading it.
  const auto verified = [&] {
    const std::string status = RawGet(Port(), "/status/" + hash).body;
    return status.find("\"name\":\"Show.S01E2.mp4\"") != std::string::npos &&
           status.find("\"bytesVerified\":" + std::to_string(secondSource.size())) != std::string::npos;
  };
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!verified() && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(verified()) << RawGet(Port(), "/status/" + hash).body;
}

TEST_F(FileRoutesTest, AnotherEpisodeIsAdmittedForWhatItWillStillWrite) {
  // Room for the first episode and a little more, not for a second beside it: the pack's
  // files already in the cache are not the second's.
  StartService([](stream::StreamOptions& o) { o.cacheCapBytes = 1'100'000; });
  const auto seeder = MakeSeeder("Show", SeasonPack());
  const std::string hash = seeder->InfoHashHex();
  const std::string first = PathOf(Resolve(seeder->MagnetLink()));
  ASSERT_TRUE(RawGet(Port(), first).body == ReadAll(seeder->SourcePath("Show.S01E1.mp4")));
  const std::string so = std::to_string(IndexOf(Files(hash), "Show.S01E2.mp4"));
  const std::string refused = Resolve(seeder->MagnetLink() + "&so=" + so);
  EXPECT_TRUE(refused.starts_with("resp: the cache has no room")) << refused;
  // The first still plays.
  EXPECT_EQ(RawGet(Port(), first, "Range: bytes=0-9\r\n").status, 206);
}

TEST_F(FileRoutesTest, SubtitlesFollowTheEpisodeThatPlays) {
  StartService();
  const auto seeder = MakeSeeder("Show", SeasonPack());
  const std::string hash = seeder->InfoHashHex();
  const struct {
    const char* episode;
    const char* subtitle;
    const char* text;
    const char* otherSubtitle;
  } cases[] = {
      {"Show.S01E1.mp4", "Show.S01E1.srt", "E1", "Show.S01E2.chs.srt"},
      {"Show.S01E2.mp4", "Show.S01E2.chs.srt", "第二集", "Show.S01E1.srt"},
      {"Show.S01E10.mp4", nullptr, nullptr, "Show.S01E1.srt"},
  };
  Resolve(seeder->MagnetLink());
  const std::vector<ListedFile> files = Files(hash);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.episode);
    ASSERT_EQ(Resolve(seeder->MagnetLink() + "&so=" + std::to_string(IndexOf(files, c.episode))),
              Base() + "/stream/" + hash + "/" + c.episode);
    const std::string list = RawGet(Port(), "/subs/" + hash + "/list.json").body;
    EXPECT_EQ(list.find(c.otherSubtitle), std::string::npos) << list;
    if (!c.subtitle) {
      EXPECT_NE(list.find("\"subtitles\":[]"), std::string::npos) << list;
      continue;
    }
    EXPECT_NE(list.find("\"label\":\"" + std::string(c.subtitle) + "\",\"language\":\"\",\"chinese\":"),
              std::string::npos)
        << list;
    EXPECT_NE(RawGet(Port(), "/subs/" + hash + "/0.vtt").body.find(c.text), std::string::npos);
    if (std::string(c.episode) != "Show.S01E1.mp4") continue;
    // Reading a subtitle wants its pieces, and no other episode's.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(stream::CacheFolder::DiskUsage(Cache() / hash / "Show" / "Show.S01E10.mp4"), 100000u);
  }
}

TEST_F(FileRoutesTest, TheViewersPlaceInEachFilmIsKeptAcrossARestart) {
  const auto seeder = MakeSeeder("Show", SeasonPack());
  const std::string hash = seeder->InfoHashHex();
  StartKeyed();
  Resolve(seeder->MagnetLink());
  const std::vector<ListedFile> files = Files(hash);
  const std::string e1 = "/position/" + hash + "/" + std::to_string(IndexOf(files, "Show.S01E1.mp4"));
  const std::string e2 = "/position/" + hash + "/" + std::to_string(IndexOf(files, "Show.S01E2.mp4"));
  const std::string readme = "/position/" + hash + "/" + std::to_string(IndexOf(files, "readme.txt"));

  EXPECT_EQ(RawGet(Port(), e1).body, "{\"seconds\":0.000,\"duration\":0.000,\"subtitleShift\":0.000}\n");
  const struct {
    const char* method;
    std::string target;
    int status;
  } requests[] = {
      {"POST", e1 + "?seconds=754.25&duration=1420", 204},
      {"POST", e1 + "?subtitleShift=-0.3", 204},
      {"POST", e2 + "?seconds=12", 204},
      {"POST", e2 + "?seconds=-1", 400},
      {"POST", e2 + "?seconds=12abc", 400},
      {"POST", e2 + "?subtitleShift=9999", 400},
      {"POST", e2 + "?seconds=", 400},
      {"POST", readme + "?seconds=5", 404},
      {"POST", "/position/" + hash + "/99?seconds=5", 404},
      {"POST", "/position/0123456789abcdef0123456789abcdef01234567/1?seconds=5", 404},
      {"POST", "/position/" + hash + "/x?seconds=5", 404},
      {"DELETE", e1, 405},
  };
  for (const auto& r : requests) EXPECT_EQ(RawRequest(Port(), r.method, r.target).status, r.status) << r.target;
  EXPECT_EQ(RawRequest(Port(), "DELETE", e1).Header("Allow"), "GET, HEAD, POST");
  // A page on the web that makes the browser post to loopback moves nobody's place, nor does
  // one of another loopback port without the key; the player page's own server (loopback),
  // with the key its address carries, does.
  EXPECT_EQ(RawRequest(Port(), "POST", e2 + "?seconds=99", "Origin: https://example.com\r\n").status, 403);
  EXPECT_EQ(RawRequest(Port(), "POST", e2 + "?seconds=99", "Origin: http://127.0.0.1:47084\r\n").status, 403);
  EXPECT_EQ(RawRequest(Port(), "POST", "/" + kKey + e2 + "?seconds=12", "Origin: http://127.0.0.1:47084\r\n").status,
            204);

  StopService();
  StartKeyed();
  Resolve(seeder->MagnetLink());
  EXPECT_EQ(RawGet(Port(), e1).body, "{\"seconds\":754.250,\"duration\":1420.000,\"subtitleShift\":-0.300}\n");
  EXPECT_EQ(RawGet(Port(), e2).body, "{\"seconds\":12.000,\"duration\":0.000,\"subtitleShift\":0.000}\n");
  // On loopback a page of another origin reads nothing of it (the player page asks through
  // its own server).
  EXPECT_EQ(RawGet(Port(), e1).Header("Access-Control-Allow-Origin"), "");
}

// Under a locale that writes a decimal comma (the window's toolkit sets the user's), the
// positions are still JSON, numbers with a dot are still taken, and the file still reads back.
TEST_F(FileRoutesTest, NumbersDoNotFollowTheLocale) {
  const ScopedLocale german(kCommaLocale);
  ASSERT_TRUE(german.set()) << "no " << kCommaLocale << " locale: scripts/setup.sh makes it";
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 2.5);
  ASSERT_STREQ(probe, "2,5") << "the locale is in force";

  const auto seeder = MakeSeeder("Show", SeasonPack());
  const std::string hash = seeder->InfoHashHex();
  StartKeyed();
  Resolve(seeder->MagnetLink());
  const std::string e1 =
      "/position/" + hash + "/" + std::to_string(IndexOf(Files(hash), "Show.S01E1.mp4"));
  EXPECT_EQ(RawRequest(Port(), "POST", e1 + "?seconds=12.5&duration=1420.25&subtitleShift=-0.3").status, 204);
  const std::string kept = "{\"seconds\":12.500,\"duration\":1420.250,\"subtitleShift\":-0.300}\n";
  EXPECT_EQ(RawGet(Port(), e1).body, kept);
  StopService();
  StartKeyed();
  Resolve(seeder->MagnetLink());
  EXPECT_EQ(RawGet(Port(), e1).body, kept) << "read back after a restart";

  // What is watched is the user's own: the file and its folder are closed to other users.
  struct stat file {}, folder {};
  ASSERT_EQ(::stat((Cache() / "watch-positions").c_str(), &file), 0);
  ASSERT_EQ(::stat(Cache().c_str(), &folder), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace morvane::testing
