#pragma once
// Random draws from the line lists on the publisher's server.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

// A generator seed from the tick count and the program's seed counter. Every seeding
// grows the counter by (tick + counter) mod 256 + 100, so two seedings in the same
// millisecond, on one thread or on several, get different seeds.
std::uint32_t NextRandomSeed(std::atomic<unsigned>& counter, std::uint32_t tick);

// One line of `page` (lines end at CR LF, under the program's split rule) drawn at random
// from the first to the last by a generator seeded with `seed`. Nothing when the page
// holds no line.
std::optional<std::string> DrawRandomLine(std::string_view page, std::uint32_t seed);

}  // namespace morvane
