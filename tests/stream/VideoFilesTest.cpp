#include "stream/VideoFiles.h"

#include <gtest/gtest.h>

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

TEST(VideoFilesTest, TheLargestVideoPlays) {
  struct Case {
    const char* what;
    std::vector<TorrentFile> files;
    int chosen;
  } cases[] = {
      {"one video", {{"a.mkv", 10}}, 0},
      {"the largest video, not the largest file",
       {{"big.iso", 900}, {"sample.mp4", 5}, {"film.mkv", 700}, {"notes.txt", 1}}, 2},
      {"a pad file never plays, whatever its name", {{"x.mp4", 10, true}, {"y.mp4", 5}}, 1},
      {"no video", {{"a.txt", 10}, {"b.srt", 10}}, -1},
      {"the first of two of one size", {{"a.mp4", 7}, {"b.mp4", 7}}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ChooseVideo(c.files), c.chosen) << c.what;
}

TEST(VideoFilesTest, AStreamAddressNamesItsFile) {
  struct Case {
    const char* namePart;
    const char* fileName;
    bool names;
  } cases[] = {
      {"movie.mp4", "movie.mp4", true},
      {"", "movie.mp4", true},  // /stream/HASH alone
      {"%E4%B8%AD%20x.mp4", "\xE4\xB8\xAD x.mp4", true},
      {"movie.mp4?start=1", "movie.mp4", true},
      {"other.mp4", "movie.mp4", false},
      {"movie.mp4.exe", "movie.mp4", false},
      {"MOVIE.MP4", "movie.mp4", false},
  };
  for (const Case& c : cases) EXPECT_EQ(NamesFile(c.namePart, c.fileName), c.names) << c.namePart;
}

}  // namespace
}  // namespace morvane::stream
