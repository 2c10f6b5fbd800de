// encipher / decipher: stored forms for people who run their own publisher's server (the
// information page carries the player page prefix in stored form). The program holds its
// texts in GBK, so a UTF-8 argument is enciphered as its GBK bytes and a deciphered text is
// printed back in UTF-8. The key is the empty one the program uses.

#include <cstdio>
#include <string>

#include "tools/Commands.h"
#include "update/Cipher.h"
#include "web/Text.h"

namespace morvane::tool {

namespace {

int RunEncipher(const Arguments& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: morvane-tool encipher TEXT\n");
    return 2;
  }
  std::printf("%s\n", EncipherText(Utf8ToLocal(args[0]), "").c_str());
  return 0;
}

int RunDecipher(const Arguments& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: morvane-tool decipher STORED\n");
    return 2;
  }
  std::printf("%s\n", LocalToUtf8(DecipherText(args[0], "")).c_str());
  return 0;
}

const RegisterCommand kEncipher{
    "encipher", "TEXT", "prints the stored form of TEXT (UTF-8, enciphered as GBK)", &RunEncipher};
const RegisterCommand kDecipher{"decipher", "STORED",
                                "prints the plain text of a stored form, in UTF-8", &RunDecipher};

}  // namespace

}  // namespace morvane::tool
