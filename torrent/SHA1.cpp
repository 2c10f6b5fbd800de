#include "torrent/SHA1.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "torrent/SHA1Blocks.h"

namespace morvane {

namespace {

std::atomic<bool> forcePortable{false};

const bool cpuHasSha = sha1blocks::CpuHasShaInstructions();

sha1blocks::Compressor ChooseCompressor() {
  return cpuHasSha && !forcePortable.load(std::memory_order_relaxed)
             ? &sha1blocks::CompressWithCpu
             : &sha1blocks::CompressPortable;
}

void Wipe(void* memory, std::size_t size) {
  explicit_bzero(memory, size);
}

}  // namespace

bool Sha1CpuInstructionsAvailable() {
  return cpuHasSha;
}
bool Sha1UsesCpuInstructions() {
  return ChooseCompressor() == &sha1blocks::CompressWithCpu;
}
void Sha1ForcePortable(bool portable) {
  forcePortable.store(portable);
}

CSHA1::~CSHA1() {
  Restart();
}

void CSHA1::Restart() {
  state_[0] = 0x67452301u;
  state_[1] = 0xEFCDAB89u;
  state_[2] = 0x98BADCFEu;
  state_[3] = 0x10325476u;
  state_[4] = 0xC3D2E1F0u;
  bitCount_[0] = bitCount_[1] = 0;
  Wipe(block_, sizeof block_);
  Wipe(digest_, sizeof digest_);
}

void CSHA1::Absorb(const void* bytes, std::size_t count) {
  if (count == 0) return;
  const auto* in = static_cast<const unsigned char*>(bytes);
  const std::uint64_t bits = (std::uint64_t{bitCount_[1]} << 32) | bitCount_[0];
  const std::size_t used = static_cast<std::size_t>(bits >> 3) & 63;
  const std::uint64_t total = bits + (static_cast<std::uint64_t>(count) << 3);
  bitCount_[0] = static_cast<std::uint32_t>(total);
  bitCount_[1] = static_cast<std::uint32_t>(total >> 32);

  const sha1blocks::Compressor compress = ChooseCompressor();
  if (used != 0) {
    const std::size_t take = std::min<std::size_t>(64 - used, count);
    std::memcpy(block_ + used, in, take);
    in += take;
    count -= take;
    if (used + take < 64) return;
    compress(state_, block_, 1);
  }
  if (count >= 64) {
    compress(state_, in, count / 64);
    in += count / 64 * 64;
    count %= 64;
  }
  if (count != 0) std::memcpy(block_, in, count);
}

void CSHA1::Finish() {
  unsigned char length[8];
  for (int i = 0; i < 4; ++i) {
    length[i] = static_cast<unsigned char>(bitCount_[1] >> (24 - 8 * i));
    length[4 + i] = static_cast<unsigned char>(bitCount_[0] >> (24 - 8 * i));
  }
  static const unsigned char kPadding[64] = {0x80};
  const std::size_t used = (bitCount_[0] >> 3) & 63;
  Absorb(kPadding, used < 56 ? 56 - used : 120 - used);
  Absorb(length, 8);
  for (int i = 0; i < 20; ++i)
    digest_[i] = static_cast<unsigned char>(state_[i / 4] >> (24 - 8 * (i % 4)));
  Wipe(block_, sizeof block_);
  Wipe(state_, sizeof state_);
  Wipe(bitCount_, sizeof bitCount_);
  Wipe(length, sizeof length);
}

void CSHA1::HexReport(std::string& text) const {
  static const char kDigits[] = "0123456789abcdef";
  for (unsigned char byte : digest_) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
}

void CSHA1::DigestBytes(std::span<unsigned char, 20> destination) const {
  std::memcpy(destination.data(), digest_, sizeof digest_);
}

}  // namespace morvane
