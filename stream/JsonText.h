#pragma once
// A text as a JSON string literal, quotes included: the service's JSON answers carry file
// names and track titles as found in torrents.

#include <cstdio>
#include <string>

namespace morvane::stream {

inline std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace morvane::stream
