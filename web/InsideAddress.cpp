#include "web/InsideAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace morvane {

namespace {

struct Block {
  std::uint32_t base;
  int bits;
};

// IPv4 blocks that are not a host on the public internet.
constexpr Block kInsideV4[] = {
    {0x00000000, 8},   // "this network", 0.0.0.0
    {0x0A000000, 8},   // private
    {0x64400000, 10},  // carrier-grade shared
    {0x7F000000, 8},   // loopback
    {0xA9FE0000, 16},  // link-local
    {0xAC100000, 12},  // private
    {0xC0000000, 24},  // protocol assignments
    {0xC0000200, 24},  // documentation
    {0xC0A80000, 16},  // private
    {0xC6120000, 15},  // benchmarking
    {0xC6336400, 24},  // documentation
    {0xCB007100, 24},  // documentation
    {0xE0000000, 4},   // multicast
    {0xF0000000, 4},   // reserved, broadcast
};

bool IsInsideV4(std::uint32_t address) {
  for (const Block& block : kInsideV4) {
    const std::uint32_t mask = block.bits == 0 ? 0 : ~std::uint32_t{0} << (32 - block.bits);
    if ((address & mask) == block.base) return true;
  }
  return false;
}

std::uint32_t V4At(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
         std::uint32_t{bytes[2]} << 8 | bytes[3];
}

bool IsInsideV6(const in6_addr& address) {
  const std::uint8_t* b = address.s6_addr;
  static constexpr std::uint8_t kZero[12] = {};
  static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  static constexpr std::uint8_t kNat64[12] = {0, 0x64, 0xFF, 0x9B, 0, 0, 0, 0, 0, 0, 0, 0};
  // ::a.b.c.d (compatible; "::" and "::1" among them), ::ffff:a.b.c.d and 64:ff9b::a.b.c.d.
  if (std::memcmp(b, kZero, 12) == 0) {
    const std::uint32_t v4 = V4At(b + 12);
    return v4 <= 1 || IsInsideV4(v4);
  }
  if (std::memcmp(b, kMapped, 12) == 0 || std::memcmp(b, kNat64, 12) == 0)
    return IsInsideV4(V4At(b + 12));
  if ((b[0] & 0xFE) == 0xFC) return true;                 // unique-local fc00::/7
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return true;  // link-local fe80::/10
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0xC0) return true;  // site-local fec0::/10
  if (b[0] == 0xFF) return true;                           // multicast
  if (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x0D && b[3] == 0xB8) return true;  // documentation
  // 6to4 (2002::/16) carries an IPv4 address as well.
  if (b[0] == 0x20 && b[1] == 0x02) return IsInsideV4(V4At(b + 2));
  return false;
}

}  // namespace

bool IsInsideAddress(const sockaddr* address) {
  if (address == nullptr) return true;
  if (address->sa_family == AF_INET)
    return IsInsideV4(ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr));
  if (address->sa_family == AF_INET6)
    return IsInsideV6(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
  return true;
}

bool IsInsideAddressText(std::string_view numeric) {
  const std::string text(numeric);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return IsInsideV4(ntohl(v4.s_addr));
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) return IsInsideV6(v6);
  return true;
}

}  // namespace morvane
