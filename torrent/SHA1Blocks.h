#pragma once
// The SHA-1 compression function over whole 64-byte blocks, in two interchangeable forms.

#include <cstddef>
#include <cstdint>

namespace morvane::sha1blocks {

using Compressor = void (*)(std::uint32_t state[5], const unsigned char* blocks, std::size_t count);

void CompressPortable(std::uint32_t state[5], const unsigned char* blocks, std::size_t count);
// Only to be called when CpuHasShaInstructions() says so.
void CompressWithCpu(std::uint32_t state[5], const unsigned char* blocks, std::size_t count);
bool CpuHasShaInstructions();

}  // namespace morvane::sha1blocks
