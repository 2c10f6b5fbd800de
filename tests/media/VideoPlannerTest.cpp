// The encoder settings ladder and the choice made on it by measurement.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "media/VideoPlanner.h"

namespace morvane::media {
namespace {

std::vector<std::string> Describe(const std::vector<VideoPlan>& plans) {
  std::vector<std::string> described;
  for (const VideoPlan& p : plans)
    described.push_back(std::to_string(p.width) + "x" + std::to_string(p.height) + " " + p.preset);
  return described;
}

// libx264's presets, from the slowest (best for the bits) to the fastest.
int PresetSpeed(const std::string& preset) {
  static const std::vector<std::string> kSlowestFirst = {
      "placebo", "veryslow", "slower", "slow", "medium", "fast", "faster", "veryfast", "superfast",
      "ultrafast"};
  const auto found = std::find(kSlowestFirst.begin(), kSlowestFirst.end(), preset);
  return found == kSlowestFirst.end() ? -1 : static_cast<int>(found - kSlowestFirst.begin());
}

// Whatever the ladder's steps are, it starts at the picture as shown (at most maxHeight
// lines), keeps its shape in even sizes, and every step costs less than the one before: a
// faster preset or fewer pixels, never a slower preset or more pixels. Trials stop at the
// first step fast enough, so a step that cost more would never be reached when needed.
TEST(VideoPlannerTest, EachStepOnlyLowersTheCost) {
  const struct {
    int width, height, maxHeight;
  } pictures[] = {
      {1920, 1080, 720}, {3840, 2160, 1080}, {1280, 534, 720}, {1440, 1080, 540},
      {721, 481, 480},  // an anamorphic DVD picture, odd sizes
      {640, 360, 720},   {320, 240, 720},   {100, 50, 720},
  };
  for (const auto& picture : pictures) {
    const auto ladder = CandidatePlans(picture.width, picture.height, picture.maxHeight);
    const auto described = Describe(ladder);
    SCOPED_TRACE(std::to_string(picture.width) + "x" + std::to_string(picture.height) +
                 " at most " + std::to_string(picture.maxHeight) + ": " +
                 ::testing::PrintToString(described));
    ASSERT_FALSE(ladder.empty());
    const int shown = std::min(picture.height, picture.maxHeight);
    EXPECT_LE(ladder.front().height, shown);
    EXPECT_GE(ladder.front().height, shown - 1);
    EXPECT_EQ(PresetSpeed(ladder.back().preset), PresetSpeed("ultrafast"));
    const double shape = static_cast<double>(picture.width) / picture.height;
    for (std::size_t i = 0; i < ladder.size(); ++i) {
      const VideoPlan& step = ladder[i];
      EXPECT_GE(PresetSpeed(step.preset), 0) << step.preset;
      EXPECT_TRUE(step.width > 0 && step.height > 0 && step.width % 2 == 0 && step.height % 2 == 0)
          << described[i];
      // Rounding to even sizes moves the shape by at most two pixels' worth.
      EXPECT_NEAR(static_cast<double>(step.width) / step.height, shape, 2.0 * shape / step.height)
          << described[i];
      // Below 360 lines only a picture that was smaller to begin with.
      EXPECT_GE(step.height, std::min(360, ladder.front().height)) << described[i];
      if (i == 0) continue;
      const VideoPlan& before = ladder[i - 1];
      const long long pixels = 1LL * step.width * step.height;
      const long long pixelsBefore = 1LL * before.width * before.height;
      EXPECT_GE(PresetSpeed(step.preset), PresetSpeed(before.preset)) << described[i];
      EXPECT_LE(pixels, pixelsBefore) << described[i];
      EXPECT_TRUE(PresetSpeed(step.preset) > PresetSpeed(before.preset) || pixels < pixelsBefore)
          << described[i] << " costs as much as " << described[i - 1];
    }
  }
}

TEST(VideoPlannerTest, FirstCandidateFastEnoughWinsAndIsRemembered) {
  const auto ladder = CandidatePlans(1920, 1080, 720);
  struct Case {
    const char* key;
    std::map<std::string, double> fps;  // trial speed by preset and height
    std::string chosen;
  };
  const std::vector<Case> cases = {
      {"fast machine", {{"veryfast720", 90}}, "1280x720 veryfast"},
      {"middling", {{"veryfast720", 20}, {"superfast720", 29}, {"ultrafast720", 31}}, "1280x720 ultrafast"},
      {"slow", {{"ultrafast720", 12}, {"ultrafast540", 25}, {"ultrafast360", 40}}, "640x360 ultrafast"},
      // Nothing keeps up: the cheapest is still the best there is.
      {"hopeless", {{"ultrafast360", 5}}, "640x360 ultrafast"},
  };
  for (const Case& c : cases) {
    int trials = 0;
    const PlanTrial trial = [&](const VideoPlan& plan) {
      ++trials;
      const auto found = c.fps.find(plan.preset + std::to_string(plan.height));
      return found == c.fps.end() ? 1.0 : found->second;
    };
    // 24 frames a second to keep 1.25 times ahead of: 30 frames a second.
    const VideoPlan chosen = ChooseVideoPlan(c.key, 24, 1.25, ladder, trial);
    EXPECT_EQ(Describe({chosen}).front(), c.chosen) << c.key;
    const int measured = trials;
    EXPECT_EQ(Describe({ChooseVideoPlan(c.key, 24, 1.25, ladder, trial)}).front(), c.chosen) << c.key;
    EXPECT_EQ(trials, measured) << c.key << ": a second stream of the same file measures nothing";
  }

  // A trial that failed (a cancelled stream) is not remembered.
  int trials = 0;
  ChooseVideoPlan("failing", 24, 1.25, ladder, [&](const VideoPlan&) { return ++trials, 0.0; });
  const int failed = trials;
  ChooseVideoPlan("failing", 24, 1.25, ladder, [&](const VideoPlan&) { return ++trials, 100.0; });
  EXPECT_EQ(trials, failed + 1);
}

}  // namespace
}  // namespace morvane::media
