// keygen / sign / verify: the publisher's side of signed updates. keygen makes the key pair
// once; sign prints what goes between "4：" and "</p>" on the version page for a release;
// verify checks a release the way the program does before it puts it in place.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/Files.h"
#include "tools/Commands.h"
#include "update/UpdateSignature.h"

namespace morvane::tool {

namespace {

constexpr const char* kPrivateKeyName = "update-signing.key";
constexpr const char* kPublicKeyName = "update-signing.pub";

// A new file only its owner can read; an existing one is never overwritten, so a second
// keygen cannot destroy the key that signed the releases already out.
bool WriteNewFile(const std::string& path, const std::string& bytes, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool closed = close(fd) == 0;
  if (done == bytes.size() && closed) return true;
  unlink(path.c_str());
  return false;
}

// The public key as the build setting holds it: the argument is either a file holding it
// (as keygen writes it) or the text itself.
std::string PublicKeyArgument(const std::string& argument) {
  std::string text = ReadWholeFile(argument).value_or(argument);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

int RunKeygen(const Arguments& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: morvane-tool keygen DIR\n");
    return 2;
  }
  const std::string directory = args[0];
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  const auto pair = GenerateSigningKey();
  if (!pair) {
    std::fprintf(stderr, "morvane-tool: cannot make a key pair\n");
    return 1;
  }
  const std::string privatePath = directory + "/" + kPrivateKeyName;
  const std::string publicPath = directory + "/" + kPublicKeyName;
  if (!WriteNewFile(privatePath, pair->privateKeyPem, 0600)) {
    std::fprintf(stderr, "morvane-tool: cannot write %s (it must not exist yet)\n",
                 privatePath.c_str());
    return 1;
  }
  if (!WriteNewFile(publicPath, pair->publicKey + "\n", 0644)) {
    std::fprintf(stderr, "morvane-tool: cannot write %s (it must not exist yet)\n",
                 publicPath.c_str());
    unlink(privatePath.c_str());
    return 1;
  }
  std::printf("%s\n", pair->publicKey.c_str());
  return 0;
}

int RunSign(const Arguments& args) {
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: morvane-tool sign KEY FILE\n");
    return 2;
  }
  const auto key = ReadWholeFile(args[0]);
  const auto digest = DigestOfFile(args[1]);
  if (!key || !digest) {
    std::fprintf(stderr, "morvane-tool: cannot read %s\n", (key ? args[1] : args[0]).c_str());
    return 1;
  }
  const std::string signature = SignDigest(*key, *digest);
  if (signature.empty()) {
    std::fprintf(stderr, "morvane-tool: %s is no Ed25519 private key\n", args[0].c_str());
    return 1;
  }
  std::printf("%s\n", signature.c_str());
  return 0;
}

int RunVerify(const Arguments& args) {
  if (args.size() != 3) {
    std::fprintf(stderr, "usage: morvane-tool verify PUBKEY FILE SIG\n");
    return 2;
  }
  const auto digest = DigestOfFile(args[1]);
  if (!digest) {
    std::fprintf(stderr, "morvane-tool: cannot read %s\n", args[1].c_str());
    return 1;
  }
  const std::string publicKey = PublicKeyArgument(args[0]);
  // An empty key would let everything pass, as in a build without one: not a check.
  if (publicKey.empty() || !DownloadAccepted(publicKey, *digest, args[2])) {
    std::printf("bad signature\n");
    return 1;
  }
  std::printf("good signature\n");
  return 0;
}

const RegisterCommand kKeygen{
    "keygen", "DIR",
    "writes a new update signing key pair into DIR (update-signing.key, private, and "
    "update-signing.pub) and prints the public key",
    &RunKeygen};
const RegisterCommand kSign{
    "sign", "KEY FILE",
    "prints the version page's signature field of the program FILE (what goes between "
    "\"4：\" and \"</p>\")",
    &RunSign};
const RegisterCommand kVerify{
    "verify", "PUBKEY FILE SIG",
    "checks SIG for the program FILE against the public key (a file or the key's text); exit "
    "code 0 when good",
    &RunVerify};

}  // namespace

}  // namespace morvane::tool
