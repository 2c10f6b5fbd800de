#include "update/Cipher.h"

#include <array>
#include <utility>

#include "web/Text.h"

namespace morvane {

namespace {

// The keystream depends only on the key; enciphering and deciphering both XOR with it.
std::string ApplyKeystream(std::string_view bytes, std::string_view key) {
  std::array<unsigned char, 256> s{};
  std::array<unsigned char, 256> k{};
  for (int n = 0; n < 256; ++n) {
    s[n] = static_cast<unsigned char>(n);
    k[n] = key.empty() ? 0 : static_cast<unsigned char>(key[n % key.size()]);
  }
  unsigned j = 0;
  for (unsigned i = 0; i < 256; ++i) {
    j = (j + s[i] + k[i]) % 256;
    std::swap(s[i], s[j]);
    ++j;  // the extra step: reduced by the next pass
  }
  std::string out;
  out.reserve(bytes.size());
  unsigned i = 0;
  j = 0;
  for (unsigned char b : bytes) {
    i = (i + 1) % 256;
    j = (j + s[i]) % 256;
    std::swap(s[i], s[j]);
    out.push_back(static_cast<char>(b ^ s[(s[i] + s[j]) % 256]));
    ++i;  // the extra steps: reduced on the next byte
    ++j;
  }
  return out;
}

}  // namespace

std::int64_t HexValue(std::string_view digits) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  // Unsigned arithmetic: a run longer than 16 digits wraps instead of overflowing.
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const auto d = kDigits.find(c);
    value = value * 16 + (d == std::string_view::npos ? ~std::uint64_t{0} : std::uint64_t{d});
  }
  return static_cast<std::int64_t>(value);
}

std::string DecipherText(std::string_view stored, std::string_view key) {
  std::string digits;
  digits.reserve(stored.size());
  for (char c : stored)
    if (c != ',') digits.push_back(c);
  std::string input;
  input.reserve(digits.size() / 2 + 1);
  for (std::size_t p = 0; p < digits.size(); p += 2)
    input.push_back(static_cast<char>(HexValue(std::string_view(digits).substr(p, 2)) & 0xFF));
  std::string plain = ApplyKeystream(input, key);
  if (const auto nul = plain.find('\0'); nul != std::string::npos) plain.resize(nul);
  return plain;
}

std::string EncipherText(std::string_view plain, std::string_view key) {
  std::string stored;
  for (unsigned char b : ApplyKeystream(plain, key)) {
    AppendHexByte(stored, b);
    stored.push_back(',');
  }
  return stored;
}

}  // namespace morvane
