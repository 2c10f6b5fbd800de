// SHA-1 blocks with the x86 SHA extensions. Only this file's functions are compiled for
// them, so the program still runs on CPUs without; the caller checks first.

#include "torrent/SHA1Blocks.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>

#include <utility>

#define SHA1_CPU_TARGET __attribute__((target("sha,sse4.1,ssse3"), always_inline)) inline

namespace morvane::sha1blocks {

namespace {

// Four of the 80 steps, with the message schedule for later groups worked in between:
// group G consumes message words 4G..4G+3 and advances the words of groups G+1..G+3.
template <int G>
SHA1_CPU_TARGET void FourSteps(__m128i& abcd, __m128i& e0, __m128i& e1, __m128i (&msg)[4]) {
  __m128i& e = G % 2 == 0 ? e0 : e1;
  __m128i& eNext = G % 2 == 0 ? e1 : e0;
  if constexpr (G == 0)
    e = _mm_add_epi32(e, msg[0]);
  else
    e = _mm_sha1nexte_epu32(e, msg[G % 4]);
  eNext = abcd;
  if constexpr (G >= 3 && G <= 18)
    msg[(G + 1) % 4] = _mm_sha1msg2_epu32(msg[(G + 1) % 4], msg[G % 4]);
  abcd = _mm_sha1rnds4_epu32(abcd, e, G / 5);
  if constexpr (G >= 1 && G <= 16)
    msg[(G + 3) % 4] = _mm_sha1msg1_epu32(msg[(G + 3) % 4], msg[G % 4]);
  if constexpr (G >= 2 && G <= 17) msg[(G + 2) % 4] = _mm_xor_si128(msg[(G + 2) % 4], msg[G % 4]);
}

template <int... G>
SHA1_CPU_TARGET void AllSteps(__m128i& abcd, __m128i& e0, __m128i& e1, __m128i (&msg)[4],
                              std::integer_sequence<int, G...>) {
  (FourSteps<G>(abcd, e0, e1, msg), ...);
}

}  // namespace

__attribute__((target("sha,sse4.1,ssse3"))) void CompressWithCpu(std::uint32_t state[5],
                                                                 const unsigned char* blocks,
                                                                 std::size_t count) {
  const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (; count != 0; --count, blocks += 64) {
    const __m128i abcdSaved = abcd;
    const __m128i eSaved = e0;
    __m128i msg[4];
    for (int i = 0; i < 4; ++i) {
      msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)),
                                byteSwap);
    }
    __m128i e1;
    AllSteps(abcd, e0, e1, msg, std::make_integer_sequence<int, 20>{});
    e0 = _mm_sha1nexte_epu32(e0, eSaved);
    abcd = _mm_add_epi32(abcd, abcdSaved);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

bool CpuHasShaInstructions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c & bit_SSSE3) != 0;
  const bool sse41 = (c & bit_SSE4_1) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const bool sha = (b & bit_SHA) != 0;
  return ssse3 && sse41 && sha;
}

}  // namespace morvane::sha1blocks

#else

namespace morvane::sha1blocks {

void CompressWithCpu(std::uint32_t state[5], const unsigned char* blocks, std::size_t count) {
  CompressPortable(state, blocks, count);
}

bool CpuHasShaInstructions() {
  return false;
}

}  // namespace morvane::sha1blocks

#endif
