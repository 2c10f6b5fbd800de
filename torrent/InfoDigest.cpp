#include "torrent/InfoDigest.h"

#include <system_error>
#include <utility>

#include "torrent/SHA1.h"

namespace morvane {

namespace {

Sha1Digest DigestOf(const char* data, std::uint32_t length) {
  CSHA1 hasher;
  hasher.Absorb(data, length);
  hasher.Finish();
  Sha1Digest digest;
  hasher.DigestBytes(digest);
  return digest;
}

std::shared_future<Sha1Digest> Ready(const Sha1Digest& digest) {
  std::promise<Sha1Digest> done;
  done.set_value(digest);
  return done.get_future().share();
}

}  // namespace

void InfoDigest::Start(std::unique_ptr<char[]> bytes, std::uint32_t start, std::uint32_t length) {
  if (length >= kBackgroundFrom) {
    // Shared, so that the bytes are still here when no thread can be started.
    std::shared_ptr<const char[]> shared(std::move(bytes));
    try {
      digest_ = std::async(std::launch::async, [shared, start, length] {
                  return DigestOf(shared.get() + start, length);
                }).share();
    } catch (const std::system_error&) {
      digest_ = Ready(DigestOf(shared.get() + start, length));
    }
    return;
  }
  digest_ = Ready(DigestOf(bytes.get() + start, length));
}

void InfoDigest::Compute(const char* data, std::uint32_t length) {
  digest_ = Ready(DigestOf(data, length));
}

}  // namespace morvane
