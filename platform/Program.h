#pragma once
// The program-wide state and the things every routine works through: the window port and
// the build settings. One Program lives from start-up to the end of the process; routines
// and workers take it by reference.

#include <atomic>
#include <functional>

#include "platform/Controls.h"
#include "platform/ProgramTexts.h"
#include "platform/SearchState.h"
#include "platform/Settings.h"
#include "platform/UpdateState.h"

namespace morvane {

struct Program {
  Program(Controls& controls, Settings s) : ui(controls), settings(std::move(s)) {}
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  Controls& ui;
  const Settings settings;
  ProgramTexts texts;
  SearchState search;
  UpdateState update;
};

// A routine of a higher layer that a lower one must start (playback, the history, a search).
// The caller hands it down, so the lower layer never includes the higher one.
using ProgramStep = std::function<void(Program&)>;

}  // namespace morvane
