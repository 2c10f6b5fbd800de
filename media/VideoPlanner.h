#pragma once
// Chooses how a picture is re-encoded by measuring it: each candidate, from the best looking
// to the cheapest, is tried on the real file's first frames on this machine, and the first
// that runs comfortably faster than playback wins. A later seek in the same file reuses the
// choice instead of measuring again.

#include <functional>
#include <string>
#include <vector>

#include "media/VideoTranscoder.h"

namespace morvane::media {

// Frames a second that decoding and encoding reach with the plan; 0 when it fails.
using PlanTrial = std::function<double(const VideoPlan& plan)>;

// The ladder for a w x h picture: libx264's "veryfast" at the full size (at most maxHeight
// lines), then "superfast" and "ultrafast", then "ultrafast" at 540 and 360 lines. Slower
// presets than "veryfast" buy little at streaming bit rates and would cost a trial each on
// machines where they cannot keep up.
std::vector<VideoPlan> CandidatePlans(int width, int height, int maxHeight);

// The first candidate whose trial reaches speedTarget x sourceFps, else the last candidate
// tried. `key` names the file and settings for the process-wide memory of choices.
VideoPlan ChooseVideoPlan(const std::string& key, double sourceFps, double speedTarget,
                          const std::vector<VideoPlan>& candidates, const PlanTrial& trial);

}  // namespace morvane::media
