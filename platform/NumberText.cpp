#include "platform/NumberText.h"

#include <charconv>
#include <cmath>

namespace morvane {

namespace {

// Enough for any double in fixed notation with a few decimals.
constexpr std::size_t kMostDigits = 400;

}  // namespace

std::string FixedText(double value, int decimals) {
  char text[kMostDigits];
  const auto [end, error] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  return error == std::errc() ? std::string(text, end) : std::string("0");
}

std::string SignificantText(double value, int significant) {
  char text[kMostDigits];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value,
                                          std::chars_format::general, significant);
  return error == std::errc() ? std::string(text, end) : std::string("0");
}

std::optional<double> ParseNumber(std::string_view text) {
  double value = 0;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data(), last, value);
  if (text.empty() || error != std::errc() || end != last || !std::isfinite(value))
    return std::nullopt;
  return value;
}

}  // namespace morvane
