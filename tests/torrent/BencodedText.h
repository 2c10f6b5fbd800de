#pragma once
// Building blocks for bencoded test input.

#include <string>

namespace morvane::testing {

// "3:abc": a byte string in its canonical encoding.
inline std::string Str(const std::string& bytes) {
  return std::to_string(bytes.size()) + ":" + bytes;
}

}  // namespace morvane::testing
