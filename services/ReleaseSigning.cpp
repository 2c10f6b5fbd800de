#include "services/ReleaseSigning.h"

#include "update/UpdateSignature.h"

namespace morvane::services {

std::string SignatureLine(const std::string& privateKeyPem, const std::string& programPath) {
  if (privateKeyPem.empty() || programPath.empty()) return "";
  // Signed at every request: the program served may be rebuilt while the services run, and
  // the signature must always match the bytes that /download hands out now.
  const auto digest = DigestOfFile(programPath);
  if (!digest) return "";
  const std::string signature = SignDigest(privateKeyPem, *digest);
  return signature.empty() ? "" : "<p>4：" + signature + "</p>\r\n";
}

}  // namespace morvane::services
