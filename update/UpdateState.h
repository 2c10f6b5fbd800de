#pragma once
// The update parameters and the handle on the update worker.

#include <atomic>
#include <mutex>
#include <string>

namespace morvane {

struct UpdateState {
  std::mutex mutex;
  std::string downloadAddress;  // UpdateDownloadAddress
  std::string programName;      // UpdateProgramName
  // Stands in for the worker's handle: the update worker checks it between reads.
  std::atomic<bool> abortRequested{false};
  // Grows at every seeding of the random generator, so two seedings in the same
  // millisecond differ.
  std::atomic<unsigned> seedCounter{0};
};

}  // namespace morvane
