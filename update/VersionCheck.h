#pragma once
// The version check behind the arrow 超级按钮9 and the update it may start.

#include <string>
#include <string_view>

#include "platform/Program.h"

namespace morvane {

// Worker. A check started while another is still asking returns at once.
void CheckVersion(Program& program);
// The text between the first start marker and the end marker after it, case-sensitive,
// not trimmed.
std::string TakeBetween(std::string_view text, std::string_view start, std::string_view end);

}  // namespace morvane
