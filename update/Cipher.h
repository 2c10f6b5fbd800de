#pragma once
// The program's own stream cipher for stored addresses and the player page prefix.
// It is an RC4 relative whose running indices take one extra step after every use,
// so texts made with the published RC4 do not decipher with it (nor the reverse).

#include <cstdint>
#include <string>
#include <string_view>

namespace morvane {

// Value of a run of hexadecimal digits, letters in either case. A character that is no
// hexadecimal digit counts as -1 (stored texts never hold one). A run of more than 16 digits
// keeps only the low 64 bits of its value.
std::int64_t HexValue(std::string_view digits);

// Stored form ("4A,0B,...") to plain text; commas anywhere are ignored, an odd last digit
// is read alone, and the result ends before the first zero byte.
std::string DecipherText(std::string_view stored, std::string_view key);

// Plain text to stored form: two upper-case digits and a comma per byte.
std::string EncipherText(std::string_view plain, std::string_view key);

}  // namespace morvane
