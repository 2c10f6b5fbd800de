#include "update/RandomDraw.h"

#include <random>

#include "web/Text.h"

namespace morvane {

std::uint32_t NextRandomSeed(std::atomic<unsigned>& counter, std::uint32_t tick) {
  unsigned current = counter.load(std::memory_order_relaxed);
  unsigned next = 0;
  do {
    next = current + (tick + current) % 256 + 100;
  } while (!counter.compare_exchange_weak(current, next, std::memory_order_relaxed));
  return tick + next;
}

std::optional<std::string> DrawRandomLine(std::string_view page, std::uint32_t seed) {
  TextList lines = SplitText(page, "\r\n");
  if (lines.empty()) return std::nullopt;
  // A generator of the call's own, so draws on several threads never share state.
  std::minstd_rand generator(seed);
  const auto number = generator() % lines.size() + 1;
  return std::move(lines[number - 1]);
}

}  // namespace morvane
