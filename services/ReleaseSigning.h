#pragma once
// The stand-in publisher signs the program it serves, as a real publisher does with
// `morvane-tool sign`, so that a build carrying the matching public key takes the update.

#include <string>

namespace morvane::services {

// The version page's signature line for the program file at `programPath`, in UTF-8:
// "<p>4：" + signature + "</p>\r\n". Empty when there is no key, no program file, or the
// key cannot sign.
std::string SignatureLine(const std::string& privateKeyPem, const std::string& programPath);

}  // namespace morvane::services
