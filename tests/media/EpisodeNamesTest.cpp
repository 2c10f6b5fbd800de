// What file names say about episodes, and the natural order of names.

#include "media/EpisodeNames.h"

#include <gtest/gtest.h>

namespace morvane::media {
namespace {

TEST(EpisodeNamesTest, EpisodeNumbersAsReleasesWriteThem) {
  const struct {
    const char* name;
    EpisodeNumber expected;
  } cases[] = {
      {"Show.S01E02.1080p.WEB-DL.mkv", {1, 2}},
      {"pack/show.s1.e10.mkv", {1, 10}},
      {"Show S02 E03.mp4", {2, 3}},
      {"Show.S01E01E02.mkv", {1, 1}},
      {"Show 1x05 720p.avi", {1, 5}},
      {"Show.E07.mkv", {-1, 7}},
      {"Show.EP07.mkv", {-1, 7}},
      {"Show.Ep.07.mkv", {-1, 7}},
      {"Episode 3.mp4", {-1, 3}},
      {"[Group] Title - 12 [1080p].mkv", {-1, 12}},
      {"[Group] Title [03][1080p].mkv", {-1, 3}},
      {"狂飙.第01集.mp4", {-1, 1}},
      {"第 3 话.mkv", {-1, 3}},
      {"第二季第十二集.mkv", {2, 12}},
      {"庆余年.第一百零五集.mp4", {-1, 105}},
      // Numbers that are no episode.
      {"Sintel.2010.1080p.H264.mkv", {}},
      {"Video.1920x1080.x264.mkv", {}},
      {"Movie - 2010.mkv", {}},
      {"Show.DDP5.1.E-AC3.mkv", {}},
      {"Sintel.2010.第01段.mkv", {}},
      {"S02E03/notes.mkv", {}},  // only the file's own name counts
      {"", {}},
  };
  for (const auto& c : cases) {
    const EpisodeNumber got = EpisodeOf(c.name);
    EXPECT_EQ(got.season, c.expected.season) << c.name;
    EXPECT_EQ(got.episode, c.expected.episode) << c.name;
  }
}

TEST(EpisodeNamesTest, NaturalOrderComparesNumbersByValue) {
  const struct {
    const char* before;
    const char* after;
  } cases[] = {
      {"E2.mkv", "E10.mkv"},
      {"Show.S01E09", "show.s01e10"},
      {"第2集", "第10集"},
      {"a.mkv", "a1.mkv"},
      {"abc", "ABD"},
      {"part 2 of 3", "part 10 of 3"},
      {"99999999999999999999", "100000000000000000000"},  // longer than any integer
  };
  for (const auto& c : cases) {
    EXPECT_LT(CompareNatural(c.before, c.after), 0) << c.before << " / " << c.after;
    EXPECT_GT(CompareNatural(c.after, c.before), 0) << c.after << " / " << c.before;
  }
  EXPECT_EQ(CompareNatural("same", "same"), 0);
  // Equal by value, yet not the same name: still an order, so that sorting is stable.
  EXPECT_NE(CompareNatural("E01", "E1"), 0);
  EXPECT_EQ(CompareNatural("E01", "E1"), -CompareNatural("E1", "E01"));
}

TEST(EpisodeNamesTest, StemsAndSampleClips) {
  EXPECT_EQ(StemOf("a/b/Show.E01.chs.srt"), "Show.E01.chs");
  EXPECT_EQ(StemOf(".hidden"), ".hidden");
  EXPECT_EQ(StemOf("noext"), "noext");
  for (const char* sample : {"Sample/x.mkv", "x.sample.mkv", "x-SAMPLE.mkv", "pack/sample/a.mp4"})
    EXPECT_TRUE(IsSampleName(sample)) << sample;
  for (const char* other : {"Samples/x.mkv", "resample.mkv", "x.mkv"}) EXPECT_FALSE(IsSampleName(other)) << other;
}

}  // namespace
}  // namespace morvane::media
