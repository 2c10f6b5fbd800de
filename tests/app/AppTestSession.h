#pragma once
// What the shell's tests share: a window port and a Program that outlive every worker a test
// starts (workers are detached and may still be returning from their last port call when
// the test ends), and a stand-in for the video resolution service.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Program.h"
#include "tests/support/ResolutionService.h"
#include "tests/support/RecordingControls.h"

namespace morvane::testing {

struct AppSession {
  explicit AppSession(Settings settings) : program(ui, std::move(settings)) {}
  RecordingControls ui;
  Program program;
};

// A new session that is never destroyed.
inline AppSession& NewSession(Settings settings = {}) {
  static auto* keep = new std::vector<std::unique_ptr<AppSession>>;
  static std::mutex keepMutex;
  std::lock_guard lock(keepMutex);
  keep->push_back(std::make_unique<AppSession>(std::move(settings)));
  return *keep->back();
}

inline Settings ServiceSettings(const std::string& resolutionHost) {
  Settings s;
  s.publisherHost = "publisher.test:8080";
  s.resolutionHost = resolutionHost;
  s.playerHost = "player.test";
  return s;
}

}  // namespace morvane::testing
