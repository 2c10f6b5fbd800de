#pragma once
// Addresses a service reached by strangers never fetches on their behalf: those of the
// machine itself and of the networks behind it (loopback, private, link-local, unique-local,
// carrier-grade shared), and those that name no single host (unspecified, multicast,
// broadcast, reserved). An IPv6 form that carries an IPv4 address (mapped, compatible,
// NAT64) is judged by the IPv4 address inside.

#include <sys/socket.h>

#include <string_view>

namespace morvane {

// For an AF_INET or AF_INET6 socket address; any other family counts as inside.
bool IsInsideAddress(const sockaddr* address);

// For a numeric address text ("10.0.0.1", "fe80::1"); text that is no address counts as
// inside.
bool IsInsideAddressText(std::string_view numeric);

}  // namespace morvane
