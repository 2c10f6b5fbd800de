#pragma once
// The program-wide state and the things every routine works through: the window port and
// the build settings. One Program lives from start-up to the end of the process; routines
// and workers take it by reference.

#include <atomic>

#include "app/ProgramTexts.h"
#include "platform/Controls.h"
#include "platform/Settings.h"
#include "search/SearchState.h"
#include "update/UpdateState.h"

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

}  // namespace morvane
