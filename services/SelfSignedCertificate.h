#pragma once
// A certificate for 127.0.0.1 and localhost made when the services start, so the player
// service can answer the https:// addresses the program builds for it.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace morvane::services {

struct Certificate {
  std::unique_ptr<X509, decltype(&X509_free)> cert{nullptr, X509_free};
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
};

// An empty Certificate when OpenSSL fails.
Certificate MakeSelfSignedCertificate();

}  // namespace morvane::services
