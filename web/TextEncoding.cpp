// Percent-encoding of keywords and links.

#include "web/Text.h"

namespace morvane {

namespace {

bool IsUnreserved(unsigned char c) {
  return c == '-' || c == '.' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}

std::string Encode(std::string_view bytes, bool keepUnreserved, bool keepUnderscore) {
  return PercentEscape(bytes, [keepUnreserved, keepUnderscore](unsigned char c) {
    return !((keepUnreserved && IsUnreserved(c)) || (keepUnderscore && c == '_'));
  });
}

}  // namespace

std::string MarkupEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string PercentEncode(std::string_view text, bool keepUnreserved, bool viaUtf8) {
  if (viaUtf8) return Encode(LocalToUtf8(text), keepUnreserved, false);
  return Encode(text, keepUnreserved, false);
}

// "%" only ever starts an escape of the encoded text, so every "%5F" in it is an underscore:
// keeping underscores as they are gives the same text in one pass.
std::string EncodePlayerLink(std::string_view link) {
  return Encode(link, true, true);
}

}  // namespace morvane
