// Writes settings/BuildSettings.h from the build settings given on the command line:
// OUTPUT then Name=value pairs. Values whose name ends in "Stored" are enciphered first, so their
// plain text never reaches the sources or the program; those ending in "Bytes" or "Seconds"
// are whole numbers.

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "update/Cipher.h"

namespace {

std::string CxxLiteral(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\%03o", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: morvane-settings-gen OUTPUT NAME=VALUE...\n";
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << "// Generated while building from the build settings. Do not edit.\n#pragma once\n\n"
         "namespace morvane::build_settings {\n";
  for (int i = 2; i < argc; ++i) {
    std::string pair = argv[i];
    const auto eq = pair.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = pair.substr(0, eq);
    std::string value = pair.substr(eq + 1);
    if (EndsWith(name, "Stored")) value = morvane::EncipherText(value, "");
    if (EndsWith(name, "Bytes") || EndsWith(name, "Seconds")) {
      // A size or a time: a whole number, checked here so that a bad setting stops the build.
      unsigned long long number = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
      if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
        std::cerr << "morvane-settings-gen: " << name << " must be a whole number, not \""
                  << value << "\"\n";
        return 2;
      }
      out << "inline constexpr unsigned long long k" << name << " = " << number << "ULL;\n";
      continue;
    }
    out << "inline constexpr const char* k" << name << " = " << CxxLiteral(value) << ";\n";
  }
  out << "}  // namespace morvane::build_settings\n";
  return out ? 0 : 1;
}
