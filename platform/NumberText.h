#pragma once
// Numbers written into JSON, headers and files, and read back from queries and files. The
// window's toolkit sets the user's locale for the C library, under which printf writes
// "30,000" and strtod stops at the ".": these never look at the locale.

#include <optional>
#include <string>
#include <string_view>

namespace morvane {

// `value` with exactly `decimals` digits after a ".": FixedText(30, 3) == "30.000".
std::string FixedText(double value, int decimals);

// `value` as printf's "%.Ng" writes it in the C locale, N = `significant`.
std::string SignificantText(double value, int significant);

// The whole of `text` as a finite decimal number ("12.5", "-3", "1e3"; no blanks, no "+",
// no hexadecimal); nothing otherwise.
std::optional<double> ParseNumber(std::string_view text);

}  // namespace morvane
