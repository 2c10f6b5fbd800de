#pragma once
// Small blocks for decoded values and their element arrays.
//
// A large torrent decodes into hundreds of thousands of values and small arrays, made and
// dropped together. They come from per-thread free lists of blocks in size steps of 8
// bytes (a step of 16 would round the many three-word values up to four words), carved
// from chunks that are never given back to the system, instead of from the general heap.
// A block may be freed on any thread, also after the thread that took it has ended: it
// joins the freeing thread's list, and a thread's lists pass to a shared spare list when it
// ends. Builds with AddressSanitizer take everything from the heap, so that its checks see
// each block's lifetime.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

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

// The element array of a list or dictionary: small ones pooled, large ones from the heap.
// Two words where a std::vector takes three, as a million-file list holds two arrays for
// each file; at most 2^32 - 1 elements. Growing moves the elements, which must not throw.
template <class T>
class PoolArray {
 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  PoolArray() = default;
  PoolArray(PoolArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  PoolArray& operator=(PoolArray&& other) noexcept {
    if (&other != this) {
      Free();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  PoolArray(const PoolArray&) = delete;
  PoolArray& operator=(const PoolArray&) = delete;
  ~PoolArray() { Free(); }

  iterator begin() { return data_; }
  iterator end() { return data_ + size_; }
  const_iterator begin() const { return data_; }
  const_iterator end() const { return data_ + size_; }
  const_iterator cbegin() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }
  const T& back() const { return data_[size_ - 1]; }

  void reserve(std::size_t capacity) {
    if (capacity > capacity_) Reallocate(capacity);
  }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) Reallocate(std::size_t{capacity_} * 2 + (capacity_ == 0 ? 4 : 0));
    T* made = ::new (static_cast<void*>(data_ + size_)) T(std::forward<Args>(args)...);
    ++size_;
    return *made;
  }
  void push_back(T&& value) { emplace_back(std::move(value)); }
  // Inserts before `at`.
  template <class... Args>
  iterator emplace(const_iterator at, Args&&... args) {
    const std::size_t index = static_cast<std::size_t>(at - data_);
    T value(std::forward<Args>(args)...);
    emplace_back(std::move(value));
    std::rotate(data_ + index, data_ + size_ - 1, data_ + size_);
    return data_ + index;
  }
  iterator erase(const_iterator first, const_iterator last) {
    T* const from = data_ + (first - data_);
    T* const to = data_ + (last - data_);
    T* const kept = std::move(to, end(), from);
    std::destroy(kept, end());
    size_ = static_cast<std::uint32_t>(kept - data_);
    return from;
  }
  iterator erase(const_iterator at) { return erase(at, at + 1); }
  void pop_back() { std::destroy_at(data_ + --size_); }
  // Keeps the capacity.
  void clear() {
    std::destroy(begin(), end());
    size_ = 0;
  }

 private:
  static_assert(alignof(T) <= atompool::kBlockAlignment);
  static_assert(std::is_nothrow_move_constructible_v<T>);

  void Reallocate(std::size_t capacity) {
    constexpr std::size_t kMost = std::numeric_limits<std::uint32_t>::max();
    if (size_ == kMost) throw std::length_error("array too long");
    capacity = std::min(capacity, kMost);
    T* const moved = static_cast<T*>(atompool::TakeAny(capacity * sizeof(T)));
    std::uninitialized_move(begin(), end(), moved);
    const std::uint32_t size = size_;
    Free();
    data_ = moved;
    size_ = size;
    capacity_ = static_cast<std::uint32_t>(capacity);
  }
  void Free() {
    std::destroy(begin(), end());
    if (data_ != nullptr) atompool::GiveAny(data_, std::size_t{capacity_} * sizeof(T));
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

  T* data_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
};

}  // namespace morvane
