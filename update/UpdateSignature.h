#pragma once
// Signed updates. The publisher signs the SHA-256 digest of a new program file with an
// Ed25519 key and puts the signature on the version page; a build that carries the
// publisher's public key puts a downloaded program in place only when that signature
// matches the bytes that arrived. Keys and signatures travel as base64 text: the public key
// as its 32 raw bytes, the signature as its 64 raw bytes, the private key as PKCS #8 PEM.

#include <array>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace morvane {

using Sha256Digest = std::array<unsigned char, 32>;

// SHA-256 over bytes given piece by piece, as they arrive.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Add(const void* data, std::size_t size);
  // The digest of everything added; the hasher is spent afterwards.
  Sha256Digest Finish();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// SHA-256 worked out on a thread of its own while the bytes keep coming. Add copies them
// into one of a few slots and returns at once; only when every slot waits for the hasher
// does it wait too. On a loopback download of 256 MB, hashing on the downloading thread
// added about a quarter to the time; here that thread pays only the copy, and the hashing
// costs no time while a second core is free (bench/bench_download).
class BackgroundSha256 {
 public:
  BackgroundSha256();
  // Stops the hasher without finishing (the download failed).
  ~BackgroundSha256();
  BackgroundSha256(const BackgroundSha256&) = delete;
  BackgroundSha256& operator=(const BackgroundSha256&) = delete;

  void Add(const char* data, std::size_t size);
  // Waits until everything added is hashed and returns the digest; call once.
  Sha256Digest Finish();

 private:
  static constexpr std::size_t kSlots = 4;
  static constexpr std::size_t kSlotSize = 256 * 1024;

  void HandOff();  // the filling slot goes to the hasher
  void Run();      // the hasher's thread

  Sha256 hasher_;
  std::unique_ptr<char[]> slots_;
  std::size_t filling_ = 0;  // bytes in the slot being filled; the adding thread's alone
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t handedOff_ = 0;  // slots given to the hasher so far
  std::size_t hashed_ = 0;     // slots the hasher is done with
  std::size_t sizes_[kSlots] = {};
  bool finishing_ = false;  // no more slots come: hash the rest and end
  bool stopping_ = false;   // end now
  std::thread thread_;
};

// The digest of a whole file, read once from start to end; nothing when it cannot be read.
std::optional<Sha256Digest> DigestOfFile(const std::string& path);

std::string Base64Encode(std::string_view bytes);
// Standard alphabet with "=" padding, nothing else: no line breaks, no spaces, no
// unpadded or non-canonical forms.
std::optional<std::string> Base64Decode(std::string_view text);

struct SigningKeyPair {
  std::string privateKeyPem;
  std::string publicKey;  // base64, the form a build setting holds
};
std::optional<SigningKeyPair> GenerateSigningKey();
// The public key (base64) of a PEM private key; "" when it is no Ed25519 key.
std::string PublicKeyOf(std::string_view privateKeyPem);

// The base64 signature of `message`; "" when the key is unusable.
std::string SignMessage(std::string_view privateKeyPem, std::string_view message);
// True only when `signature` is the base64 text of a valid signature of `message` by
// `publicKey` (base64). Surrounding ASCII spaces and line breaks are allowed, so that a
// signature pasted on a line of its own still counts.
bool VerifyMessage(std::string_view publicKey, std::string_view message,
                   std::string_view signature);

// What the version page carries for a program file whose digest is given.
std::string SignDigest(std::string_view privateKeyPem, const Sha256Digest& digest);
// The update's gate: with no public key set every download passes (the publisher does not
// sign); with one, only a download whose digest carries a valid signature.
bool DownloadAccepted(std::string_view publicKey, const Sha256Digest& digest,
                      std::string_view signature);

}  // namespace morvane
