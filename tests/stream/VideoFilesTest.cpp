// Which file of a torrent plays: "so=" in links, the largest video otherwise; the episode
// order of a pack's videos; the names their addresses carry.

#include "stream/VideoFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvane::stream {
namespace {

TEST(VideoFilesTest, MediaTypesFollowTheExtension) {
  struct Case {
    const char* name;
    const char* type;
    bool video;
  } cases[] = {
      {"a/Movie.MP4", "video/mp4", true},       {"x.webm", "video/webm", true},
      {"x.mkv", "video/x-matroska", true},      {"x.avi", "video/x-msvideo", true},
      {"x.ts", "video/mp2t", true},             {"notes.txt", "text/plain", false},
      {"x.mp4.part", "application/octet-stream", false},
      {"dir.mp4/file", "application/octet-stream", false},
      {"noextension", "application/octet-stream", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MediaTypeOf(c.name), c.type) << c.name;
    EXPECT_EQ(IsVideoName(c.name), c.video) << c.name;
  }
}

using Ranges = std::vector<std::pair<std::int64_t, std::int64_t>>;

TEST(VideoFilesTest, SelectOnlyListsIndicesAndRangesInTheOrderGiven) {
  const std::string magnet = "magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567";
  const struct {
    const char* what;
    std::string link;
    Ranges expected;
  } cases[] = {
      {"single", magnet + "&so=3", {{3, 3}}},
      {"list and range", magnet + "&so=0,2,4-5", {{0, 0}, {2, 2}, {4, 5}}},
      {"order kept", magnet + "&so=5,1", {{5, 5}, {1, 1}}},
      {"first parameter", "magnet:?so=2&xt=urn:btih:abc", {{2, 2}}},
      {"escaped commas", magnet + "&so=0%2C2", {{0, 0}, {2, 2}}},
      {"followed by others", magnet + "&so=7&dn=Show", {{7, 7}}},
      {"bad items passed over", magnet + "&so=1,x,,3-,-2,3", {{1, 1}, {3, 3}}},
      {"a range from high to low", magnet + "&so=2-1", {}},
      {"garbage", magnet + "&so=abc", {}},
      {"empty", magnet + "&so=", {}},
      {"too many digits", magnet + "&so=99999999999999999999", {}},
      {"huge range kept as a range", magnet + "&so=0-4000000000", {{0, 4000000000}}},
      {"only the first so= counts", magnet + "&so=3&so=4", {{3, 3}}},
      {"part of another name", magnet + "&xso=3&also=4", {}},
      {"none", magnet, {}},
      {".torrent address, query", "http://h/pack.torrent?so=2", {{2, 2}}},
      {".torrent address, fragment", "http://h/pack.torrent#so=1-2", {{1, 2}}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseSelectOnly(c.link).ranges, c.expected) << c.what;
}

// readme, three episodes (the second the largest), a sample, a subtitle, an empty video.
const std::vector<TorrentFile> kPack = {
    {0, "Show/readme.txt", 5000},      {1, "Show/Show.S01E01.mkv", 100},
    {2, "Show/Show.S01E02.mkv", 300},  {3, "Show/Show.S01E03.mp4", 200},
    {4, "Show/Sample/sample.mkv", 5},  {5, "Show/Show.S01E01.srt", 10},
    {7, "Show/empty.mp4", 0},  // index 6 was a pad file
};

TEST(VideoFilesTest, TheFirstSelectedVideoPlaysElseTheLargest) {
  const struct {
    const char* so;
    int expected;
  } cases[] = {
      {"", 2},           {"so=3", 3},        {"so=0,3", 3},         {"so=0", 2},
      {"so=4-5", 4},     {"so=5,1", 1},      {"so=1,3", 1},         {"so=3,1", 3},
      {"so=50", 2},      {"so=7", 2},        {"so=6", 2},           {"so=0-4000000000", 1},
      {"so=abc", 2},     {"so=2-3", 2},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ChooseVideo(kPack, ParseSelectOnly(std::string("magnet:?xt=x&") + c.so)), c.expected) << c.so;
  EXPECT_EQ(ChooseVideo({{0, "notes.txt", 10}, {1, "empty.mkv", 0}}, {}), -1);
  EXPECT_EQ(ChooseVideo({}, ParseSelectOnly("so=0")), -1);
  // Equal sizes: the first.
  EXPECT_EQ(ChooseVideo({{4, "b.mkv", 10}, {2, "a.mkv", 10}}, {}), 2);
}

TEST(VideoFilesTest, WithoutSelectionTheLargestVideoPlays) {
  const struct {
    const char* what;
    std::vector<TorrentFile> files;
    int chosen;
  } cases[] = {
      {"one video", {{0, "a.mkv", 10}}, 0},
      {"the largest video, not the largest file",
       {{0, "big.iso", 900}, {1, "sample.mp4", 5}, {2, "film.mkv", 700}, {3, "notes.txt", 1}}, 2},
      {"a video's name in a folder's name is no video", {{0, "dir.mp4/file", 900}, {1, "y.mp4", 5}}, 1},
      {"an index left out (a pad file) is never chosen", {{1, "y.mp4", 5}}, 1},
      {"no video", {{0, "a.txt", 10}, {1, "b.srt", 10}}, -1},
      {"the first of two of one size", {{0, "a.mp4", 7}, {1, "b.mp4", 7}}, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ChooseVideo(c.files), c.chosen) << c.what;
}

TEST(VideoFilesTest, VideosComeInEpisodeOrder) {
  const struct {
    const char* what;
    std::vector<std::string> paths;  // index = position
    std::vector<int> expected;
  } cases[] = {
      {"numbers by value", {"P/E10.mkv", "P/E2.mkv", "P/E1.mkv"}, {2, 1, 0}},
      {"seasons first", {"P/Show.S02E01.mkv", "P/Show.S01E02.mkv", "P/Show.S01E10.mkv"}, {1, 2, 0}},
      {"Chinese numbers", {"P/剧.第10集.mp4", "P/剧.第2集.mp4", "P/剧.第二集.mp4"}, {1, 2, 0}},
      {"names that differ before the number",
       {"P/Show.S01E02.720p.mkv", "P/Show.Special.S01E01.mkv", "P/Show.S01E03.mkv"}, {1, 0, 2}},
      {"other videos, then samples last, other files out",
       {"P/Sample/Show.S01E01.sample.mkv", "P/Extras/Making of.mkv", "P/Show.S01E02.mkv",
        "P/Show.S01E01.mkv", "P/Show.S01E01.srt"},
       {3, 2, 1, 0}},
      {"fansub numbering", {"[G] T - 02 [1080p].mkv", "[G] T - 01 [1080p].mkv"}, {1, 0}},
      {"no numbers: natural order of the paths", {"P/b 10.mkv", "P/b 9.mkv", "P/a.mkv"}, {2, 1, 0}},
  };
  for (const auto& c : cases) {
    std::vector<TorrentFile> files;
    for (std::size_t i = 0; i < c.paths.size(); ++i) files.push_back({static_cast<int>(i), c.paths[i], 1000});
    EXPECT_EQ(EpisodeOrder(files), c.expected) << c.what;
  }
}

TEST(VideoFilesTest, AddressNamesAreFileNamesUnlessTwoFilesShareOne) {
  const std::vector<TorrentFile> files = {
      {0, "Pack/S1/E01.mkv", 10}, {1, "Pack/S2/E01.mkv", 10}, {2, "Pack/E02.mkv", 10},
      {3, "Pack/readme.txt", 10}, {4, "Pack/sub/E02.mkv", 0},
  };
  EXPECT_EQ(AddressName(files, 0), "Pack/S1/E01.mkv");
  EXPECT_EQ(AddressName(files, 1), "Pack/S2/E01.mkv");
  EXPECT_EQ(AddressName(files, 3), "readme.txt");
  EXPECT_EQ(AddressName(files, 9), "");
  const struct {
    const char* name;
    int expected;
  } cases[] = {
      {"Pack/S2/E01.mkv", 1}, {"Pack/E02.mkv", 2},  {"E01.mkv", -1},  // two files of that name
      {"E02.mkv", -1},        // one of them empty: still two of that name
      {"readme.txt", -1},     {"Pack/readme.txt", -1}, {"nothing.mkv", -1}, {"", -1}, {"Pack", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(VideoNamed(files, c.name), c.expected) << c.name;
  // The names in one pass are the same; every video's leads back to it.
  const std::vector<std::string> names = AddressNames(files);
  for (std::size_t i = 0; i < files.size(); ++i) EXPECT_EQ(names[i], AddressName(files, files[i].index));
  for (const TorrentFile& f : files) {
    if (!IsVideo(f)) continue;
    EXPECT_EQ(VideoNamed(files, AddressName(files, f.index)), f.index) << f.path;
  }
}

TEST(VideoFilesTest, AStreamAddressNamesItsVideo) {
  const std::vector<TorrentFile> files = {
      {0, "Pack/movie.mp4", 10}, {1, "Pack/\xE4\xB8\xAD x.mp4", 10}, {2, "Pack/notes.txt", 10}};
  const struct {
    const char* namePart;
    int video;
  } cases[] = {
      {"movie.mp4", 0},
      {"", 1},  // /stream/HASH alone: the video that plays
      {"?start=1", 1},
      {"%E4%B8%AD%20x.mp4", 1},
      {"movie.mp4?start=1", 0},
      {"Pack%2Fmovie.mp4", 0},
      {"other.mp4", -1},
      {"movie.mp4.exe", -1},
      {"MOVIE.MP4", -1},
      {"notes.txt", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(VideoOfAddress(files, c.namePart, 1), c.video) << c.namePart;
}

}  // namespace
}  // namespace morvane::stream
