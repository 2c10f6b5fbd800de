#pragma once
// The access log's lines. Request targets and methods come from whoever connects, so every
// field is made safe for a terminal: control bytes, DEL, bytes that are not UTF-8 and the
// UTF-8 forms of the C1 controls are written as \xNN (and a backslash as \\), so a request can
// neither move the cursor, recolour the terminal nor start a line of its own.

#include <string>
#include <string_view>

namespace morvane::services {

std::string EscapeLogField(std::string_view field);

// "SERVICE METHOD TARGET STATUS", without the line end.
std::string AccessLogLine(std::string_view service, std::string_view method,
                          std::string_view target, int status);

}  // namespace morvane::services
