#include "stream/HttpRange.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace morvane::stream {

namespace {

bool ReadNumber(std::string_view text, std::int64_t& value) {
  // Digits only: from_chars would take a sign, and "bytes=--5" would become the last -5 bytes.
  if (text.empty() || text.size() > 18 ||
      !std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }))
    return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

RangeResult ParseRange(const std::string& header, std::int64_t size, ByteRange& range) {
  range = {0, size};
  std::string_view text(header);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (!text.starts_with("bytes=")) return RangeResult::kWhole;
  text.remove_prefix(6);
  const auto dash = text.find('-');
  if (dash == std::string_view::npos || text.find(',') != std::string_view::npos)
    return RangeResult::kWhole;
  const std::string_view first = text.substr(0, dash);
  const std::string_view last = text.substr(dash + 1);
  std::int64_t a = 0, b = 0;
  if (first.empty()) {  // the last N bytes
    if (!ReadNumber(last, b)) return RangeResult::kWhole;
    if (b == 0 || size == 0) return RangeResult::kUnsatisfiable;
    range = {std::max<std::int64_t>(0, size - b), size};
    return RangeResult::kPartial;
  }
  if (!ReadNumber(first, a)) return RangeResult::kWhole;
  if (last.empty()) {
    b = size - 1;
  } else if (!ReadNumber(last, b) || b < a) {
    return RangeResult::kWhole;
  }
  if (a >= size) return RangeResult::kUnsatisfiable;
  range = {a, std::min(b, size - 1) + 1};
  return RangeResult::kPartial;
}

}  // namespace morvane::stream
