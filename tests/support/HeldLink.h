#pragma once
// A seeder's uplink of a given capacity, on loopback: a relay on 127.0.0.1 that passes each
// connection it accepts on to a port of this machine and holds the bytes coming back to a
// rate shared by all its connections. Requests go through at once. The kernel buffers on
// its way are kept small, so what the link cannot carry yet waits in the sender, as it does
// behind a real uplink; a BitTorrent seeder's own rate limiter instead hands out its quota
// on its ticks and in whole requests, and sends in bursts no link would.

#include <cstdint>
#include <memory>

namespace morvane::testing {

class HeldLink {
 public:
  // Relays to 127.0.0.1:`targetPort`, the way back held to `bytesPerSecond` (0: unheld).
  HeldLink(int targetPort, std::int64_t bytesPerSecond);
  ~HeldLink();
  HeldLink(const HeldLink&) = delete;
  HeldLink& operator=(const HeldLink&) = delete;

  int Port() const;
  void SetRate(std::int64_t bytesPerSecond);
  // Bytes carried back so far.
  std::int64_t Carried() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace morvane::testing
