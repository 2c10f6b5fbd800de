#include "services/AccessLog.h"

#include <cstdint>

namespace morvane::services {

namespace {

void AppendHex(std::string& out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0xf];
}

// The length of the well-formed UTF-8 sequence at `at` (2 to 4), or 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  std::uint32_t point = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    point = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    point = lead & 0x0f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    point = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
    point = (point << 6) | (byte(at + i) & 0x3f);
  }
  // Overlong forms, surrogates and points past U+10FFFF are not UTF-8.
  static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kSmallest[length] || (point >= 0xd800 && point <= 0xdfff) || point > 0x10ffff)
    return 0;
  // The C1 controls: some terminals act on them as on ESC sequences.
  if (point >= 0x80 && point <= 0x9f) return 0;
  return length;
}

}  // namespace

std::string EscapeLogField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t at = 0; at < field.size();) {
    const auto byte = static_cast<unsigned char>(field[at]);
    if (byte == '\\') {
      out += "\\\\";
      ++at;
    } else if (byte < 0x20 || byte == 0x7f) {
      AppendHex(out, byte);
      ++at;
    } else if (byte < 0x80) {
      out += static_cast<char>(byte);
      ++at;
    } else if (const std::size_t length = Utf8SequenceLength(field, at); length > 0) {
      out.append(field.substr(at, length));
      at += length;
    } else {
      AppendHex(out, byte);
      ++at;
    }
  }
  return out;
}

std::string AccessLogLine(std::string_view service, std::string_view method,
                          std::string_view target, int status) {
  std::string line = EscapeLogField(service);
  line += ' ';
  line += EscapeLogField(method);
  line += ' ';
  line += EscapeLogField(target);
  line += ' ';
  line += std::to_string(status);
  return line;
}

}  // namespace morvane::services
