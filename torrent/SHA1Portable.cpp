#include "torrent/SHA1Blocks.h"

namespace morvane::sha1blocks {

namespace {

inline std::uint32_t Rotate(std::uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

inline std::uint32_t LoadBigEndian(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

}  // namespace

// The 80 steps are unrolled with the five working variables renamed from step to step
// instead of moved, and the message schedule kept in a 16-word ring.
#define SHA1_WORD(i)               \
  ((i) < 16 ? w[(i)&15]            \
            : (w[(i)&15] = Rotate( \
                   w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i)&15], 1)))
#define SHA1_CH(b, c, d) (((b) & ((c) ^ (d))) ^ (d))
#define SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_MAJ(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))
#define SHA1_STEP(f, k, a, b, c, d, e, i)            \
  e += f(b, c, d) + SHA1_WORD(i) + k + Rotate(a, 5); \
  b = Rotate(b, 30);
#define SHA1_FIVE(f, k, i)                \
  SHA1_STEP(f, k, a, b, c, d, e, (i))     \
  SHA1_STEP(f, k, e, a, b, c, d, (i) + 1) \
  SHA1_STEP(f, k, d, e, a, b, c, (i) + 2) \
  SHA1_STEP(f, k, c, d, e, a, b, (i) + 3) \
  SHA1_STEP(f, k, b, c, d, e, a, (i) + 4)
#define SHA1_TWENTY(f, k, i) \
  SHA1_FIVE(f, k, i)         \
  SHA1_FIVE(f, k, (i) + 5)   \
  SHA1_FIVE(f, k, (i) + 10)  \
  SHA1_FIVE(f, k, (i) + 15)

void CompressPortable(std::uint32_t state[5], const unsigned char* blocks, std::size_t count) {
  for (; count != 0; --count, blocks += 64) {
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(blocks + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    SHA1_TWENTY(SHA1_CH, 0x5A827999u, 0)
    SHA1_TWENTY(SHA1_PARITY, 0x6ED9EBA1u, 20)
    SHA1_TWENTY(SHA1_MAJ, 0x8F1BBCDCu, 40)
    SHA1_TWENTY(SHA1_PARITY, 0xCA62C1D6u, 60)
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

#undef SHA1_TWENTY
#undef SHA1_FIVE
#undef SHA1_STEP
#undef SHA1_MAJ
#undef SHA1_PARITY
#undef SHA1_CH
#undef SHA1_WORD

}  // namespace morvane::sha1blocks
