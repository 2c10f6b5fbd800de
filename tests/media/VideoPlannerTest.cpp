// The encoder settings ladder and the choice made on it by measurement.

#include <gtest/gtest.h>

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

TEST(VideoPlannerTest, LadderGoesDownInSpeedThenInSizeNeverUp) {
  EXPECT_EQ(Describe(CandidatePlans(1920, 1080, 720)),
            (std::vector<std::string>{"1280x720 veryfast", "1280x720 superfast", "1280x720 ultrafast",
                                      "960x540 ultrafast", "640x360 ultrafast"}));
  EXPECT_EQ(Describe(CandidatePlans(320, 240, 720)),
            (std::vector<std::string>{"320x240 veryfast", "320x240 superfast", "320x240 ultrafast"}));
  // An anamorphic DVD picture keeps its stored shape; odd sizes become even.
  EXPECT_EQ(Describe(CandidatePlans(721, 481, 480)).front(), "720x480 veryfast");
  EXPECT_EQ(Describe(CandidatePlans(1440, 1080, 540))[2], "720x540 ultrafast");
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
