#pragma once
// The update parameters and the handle on the update worker.

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

namespace morvane {

struct UpdateState {
  std::mutex mutex;
  std::string downloadAddress;  // UpdateDownloadAddress
  std::string programName;      // UpdateProgramName
  // The publisher's signature of the new program (the version page's "4：" field); checked
  // only when the build carries the publisher's key.
  std::string signature;
  // The private file the new program is being downloaded into; "" while there is none.
  std::string temporaryFile;
  // The program file that the update replaces; "" means the running program. Tests point
  // it into a scratch directory so that an update never touches the test program.
  std::string programPath;
  // Pause between the countdown texts after the download.
  std::chrono::milliseconds countdownStep{1000};

  // A version check is under way, from the click on the arrow until its question is
  // answered (after OK, until the update window is gone): a further click then checks
  // nothing, so that one question is open at a time.
  std::atomic<bool> checking{false};

  // Stands in for the worker's handle: the update worker checks it between reads and
  // before each step of the replacement.
  std::atomic<bool> abortRequested{false};
  // Held by the update worker while it puts the new program in place and starts it, and
  // by the abort while it decides, so an abort either comes first and nothing is started,
  // or comes after the new program is already running.
  std::mutex replacing;

  // What the update window's progress labels and bar were last given, so that only
  // changes are posted to the window. Used by the update worker alone.
  struct ShownProgress {
    bool any = false;  // nothing given yet: the first figures all go
    std::string speed, percent, size;
    int bar = 0;
  } shownProgress;

  // Grows at every seeding of the random generator, so two seedings in the same
  // millisecond differ.
  std::atomic<unsigned> seedCounter{0};
};

}  // namespace morvane
