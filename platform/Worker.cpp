#include "platform/Worker.h"

#include <system_error>
#include <thread>

namespace morvane {

void StartWorker(std::function<void()> routine) {
  try {
    std::thread(std::move(routine)).detach();
  } catch (const std::system_error&) {
    // Out of threads: the action simply has no effect.
  }
}

}  // namespace morvane
