#include "media/VideoPlanner.h"

#include <map>
#include <mutex>

namespace morvane::media {

namespace {

// Below 360 lines a picture is no longer worth watching; the ladder stops there.
constexpr int kSmallestHeight = 360;
constexpr int kFallbackHeights[] = {540, kSmallestHeight};

std::mutex gChoicesMutex;
std::map<std::string, VideoPlan>& Choices() {
  static std::map<std::string, VideoPlan> choices;
  return choices;
}

}  // namespace

std::vector<VideoPlan> CandidatePlans(int width, int height, int maxHeight) {
  std::vector<VideoPlan> plans;
  auto add = [&](int lines, const char* preset) {
    VideoPlan plan;
    FitSize(width, height, lines, plan.width, plan.height);
    plan.preset = preset;
    for (const VideoPlan& p : plans)
      if (p.height == plan.height && p.preset == plan.preset) return;
    plans.push_back(plan);
  };
  add(maxHeight, "veryfast");
  add(maxHeight, "superfast");
  add(maxHeight, "ultrafast");
  for (const int lines : kFallbackHeights)
    if (lines < std::min(height, maxHeight)) add(lines, "ultrafast");
  return plans;
}

VideoPlan ChooseVideoPlan(const std::string& key, double sourceFps, double speedTarget,
                          const std::vector<VideoPlan>& candidates, const PlanTrial& trial) {
  {
    std::lock_guard lock(gChoicesMutex);
    const auto known = Choices().find(key);
    if (known != Choices().end()) return known->second;
  }
  VideoPlan chosen;
  for (const VideoPlan& candidate : candidates) {
    chosen = candidate;
    chosen.measuredFps = trial(candidate);
    if (chosen.measuredFps >= speedTarget * sourceFps) break;
  }
  // A failed trial (cancelled, unreadable) is not remembered: the next try measures again.
  if (chosen.measuredFps > 0) {
    std::lock_guard lock(gChoicesMutex);
    Choices()[key] = chosen;
  }
  return chosen;
}

}  // namespace morvane::media
