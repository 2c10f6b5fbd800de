#pragma once

#include <cstdint>

namespace morvane {

// Milliseconds on a steady clock, wrapping at 2^32 like a tick count.
std::uint32_t TickCount();

}  // namespace morvane
