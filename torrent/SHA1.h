#pragma once
// SHA-1 (FIPS 180-1). A hasher serves one message: Absorb the bytes, Finish, then read the
// digest. Finish wipes everything but the digest; Restart makes the hasher usable again.
//
// Blocks are compressed with the CPU's SHA instructions when it has them, otherwise by a
// portable routine; both give the same digests.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace morvane {

class CSHA1 {
 public:
  CSHA1() { Restart(); }
  CSHA1(const CSHA1&) = delete;
  CSHA1& operator=(const CSHA1&) = delete;
  virtual ~CSHA1();

  void Restart();
  void Absorb(const void* bytes, std::size_t count);
  void Finish();
  // Appends the digest as 40 lower-case hexadecimal digits.
  void HexReport(std::string& text) const;
  void DigestBytes(std::span<unsigned char, 20> destination) const;

 private:
  std::uint32_t state_[5];
  std::uint32_t bitCount_[2];  // message length in bits, modulo 2^64; low word first
  unsigned char block_[64];
  unsigned char digest_[20];
};

// Whether this CPU has the SHA instructions, and whether hashing uses them now.
bool Sha1CpuInstructionsAvailable();
bool Sha1UsesCpuInstructions();
// Makes every hasher use the portable routine (true) or the best one (false); for
// measurements and for checking both routines on one machine.
void Sha1ForcePortable(bool portable);

}  // namespace morvane
