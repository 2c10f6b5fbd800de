#pragma once
// Small blocks for decoded values and their element arrays.
//
// A large torrent decodes into hundreds of thousands of values and small arrays, made and
// dropped together. They come from per-thread free lists of blocks in size steps of 8
// bytes (most values are a few words; a coarser step would waste a third of some), carved from chunks that are never given back to the system, instead of from the
// general heap. A block may be freed on any thread, also after the thread that took it has
// ended: it joins the freeing thread's list, and a thread's lists pass to a shared spare
// list when it ends. Builds with AddressSanitizer take everything from the heap, so that
// its checks see each block's lifetime.

#include <cstddef>
#include <new>

namespace morvane {

namespace atompool {

inline constexpr std::size_t kLargestBlock = 256;
// Blocks are aligned for types of up to this alignment, which is all the family holds.
inline constexpr std::size_t kBlockAlignment = 8;

// `bytes` from 1 to kLargestBlock; the block is aligned to kBlockAlignment.
void* Take(std::size_t bytes);
// A block from Take with the same `bytes`.
void Give(void* block, std::size_t bytes);

// Blocks of any size: pooled up to kLargestBlock, from the heap beyond.
inline void* TakeAny(std::size_t bytes) {
  return bytes <= kLargestBlock ? Take(bytes) : ::operator new(bytes);
}
inline void GiveAny(void* block, std::size_t bytes) {
  if (bytes <= kLargestBlock)
    Give(block, bytes);
  else
    ::operator delete(block);
}

}  // namespace atompool

// Element arrays of lists and dictionaries: small ones pooled, large ones from the heap.
template <class T>
struct PoolAllocator {
  using value_type = T;

  PoolAllocator() = default;
  template <class U>
  PoolAllocator(const PoolAllocator<U>&) noexcept {}

  static_assert(alignof(T) <= atompool::kBlockAlignment);

  T* allocate(std::size_t count) {
    if (count <= atompool::kLargestBlock / sizeof(T))
      return static_cast<T*>(atompool::Take(count * sizeof(T)));
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(::operator new(count * sizeof(T)));
  }
  void deallocate(T* block, std::size_t count) noexcept {
    if (count <= atompool::kLargestBlock / sizeof(T))
      atompool::Give(block, count * sizeof(T));
    else
      ::operator delete(block);
  }

  template <class U>
  bool operator==(const PoolAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace morvane
