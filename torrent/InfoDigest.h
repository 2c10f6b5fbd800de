#pragma once
// The SHA-1 digest of a torrent's info bytes, worked out while the caller goes on. Large
// inputs are hashed on a thread of their own, which owns the bytes until it is done; small
// ones, or any when no thread can be started, at once.

#include <array>
#include <cstdint>
#include <future>
#include <memory>

namespace morvane {

using Sha1Digest = std::array<unsigned char, 20>;

class InfoDigest {
 public:
  // Inputs from this size on go to a thread: below it, starting one costs more than the
  // hashing it would hide.
  static constexpr std::uint32_t kBackgroundFrom = 1u << 20;

  // Hashes `length` bytes from `start` of `bytes`.
  void Start(std::unique_ptr<char[]> bytes, std::uint32_t start, std::uint32_t length);
  // Hashes `length` bytes at `data` before returning.
  void Compute(const char* data, std::uint32_t length);
  void Clear() { digest_ = {}; }

  bool Known() const { return digest_.valid(); }
  // The digest, waiting for it if need be. Only when Known().
  const Sha1Digest& Get() const { return digest_.get(); }

 private:
  std::shared_future<Sha1Digest> digest_;
};

}  // namespace morvane
