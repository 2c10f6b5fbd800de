#pragma once
// SHA-1 computed by OpenSSL, as an independent reference for the program's own hasher.
// Tests that include this link OpenSSL::Crypto.

#include <openssl/sha.h>

#include <string>

namespace morvane::testing {

inline std::string Sha1Hex(const std::string& bytes) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  std::string hex;
  for (unsigned char b : digest) {
    hex += "0123456789abcdef"[b >> 4];
    hex += "0123456789abcdef"[b & 15];
  }
  return hex;
}

}  // namespace morvane::testing
