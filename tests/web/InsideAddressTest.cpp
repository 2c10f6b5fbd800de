// The addresses a service reached by strangers never fetches for them.

#include "web/InsideAddress.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

namespace morvane {
namespace {

TEST(InsideAddress, TheMachineAndTheNetworksBehindItAreInside) {
  struct Case {
    const char* address;
    bool inside;
  } cases[] = {
      {"127.0.0.1", true},        {"127.255.1.2", true},     {"0.0.0.0", true},
      {"10.1.2.3", true},         {"172.16.0.1", true},      {"172.31.255.254", true},
      {"192.168.1.20", true},     {"169.254.169.254", true}, {"100.64.0.1", true},
      {"224.0.0.1", true},        {"255.255.255.255", true}, {"::1", true},
      {"::", true},               {"fe80::1", true},         {"fd12:3456::1", true},
      {"fc00::1", true},          {"ff02::1", true},         {"::ffff:127.0.0.1", true},
      {"::ffff:10.0.0.1", true},  {"64:ff9b::a00:1", true},  {"2002:c0a8:0101::1", true},
      {"::127.0.0.1", true},      {"not an address", true},  {"", true},
      {"8.8.8.8", false},         {"172.32.0.1", false},     {"172.15.255.255", false},
      {"100.128.0.1", false},     {"93.184.216.34", false},  {"2606:4700::1111", false},
      {"::ffff:8.8.8.8", false},  {"2002:0808:0808::1", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsInsideAddressText(c.address), c.inside) << c.address;

  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  ::inet_pton(AF_INET, "192.168.0.9", &v4.sin_addr);
  EXPECT_TRUE(IsInsideAddress(reinterpret_cast<sockaddr*>(&v4)));
  ::inet_pton(AF_INET, "1.1.1.1", &v4.sin_addr);
  EXPECT_FALSE(IsInsideAddress(reinterpret_cast<sockaddr*>(&v4)));
  sockaddr unix{};
  unix.sa_family = AF_UNIX;
  EXPECT_TRUE(IsInsideAddress(&unix));
}

}  // namespace
}  // namespace morvane
