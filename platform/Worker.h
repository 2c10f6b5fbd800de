#pragma once
// The worker convention: a long operation leaves the window thread on a detached thread
// that runs a routine without arguments and ends when the routine returns. Nothing waits
// for a worker; a worker that cannot be started is not reported.

#include <functional>

namespace morvane {

void StartWorker(std::function<void()> routine);

}  // namespace morvane
