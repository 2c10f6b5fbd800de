#pragma once
// Bencoded values as the torrent module holds them. Every value is a heap object owned
// through a std::unique_ptr<CAtom>; a list owns its elements and a dictionary its values.
// Containers are built bottom-up: a value handed to Append or Store is complete, and what
// a container holds is read-only through it. That lets each container keep its encoded
// size up to date as it grows, so WireLength is O(1) however deep the tree is.
//
// Copies, destruction and serialisation walk the tree without recursion, so a tree of any
// depth is safe on any thread's stack.
//
// Values, the element arrays of containers and the bytes of longer strings and keys live in
// pooled blocks (torrent/AtomPool.h).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "torrent/AtomPool.h"

namespace morvane {

class CAtom {
 public:
  virtual ~CAtom() = default;

  virtual bool HoldsInt() const { return false; }
  virtual bool HoldsLong() const { return false; }
  virtual bool HoldsList() const { return false; }
  virtual bool HoldsDicti() const { return false; }
  virtual bool HoldsString() const { return false; }
  // Size in bytes of the value's canonical encoding.
  virtual std::int32_t WireLength() const = 0;
  // Integers: characters of AsText; strings: byte count; containers: 0.
  virtual std::int32_t ValueLength() const = 0;
  // Integers in decimal, strings with NUL bytes shown as spaces, containers "".
  virtual std::string AsText() const = 0;

  // Values of up to atompool::kLargestBlock bytes take a pooled block, larger ones (kinds
  // outside the family) the heap; both calls see the same size, so each block goes back
  // where it came from.
  static void* operator new(std::size_t size);
  static void operator delete(void* block, std::size_t size);

 protected:
  // Whether a value is a list or dictionary of this family, known without a virtual call:
  // taking a large tree apart asks it of every value.
  enum class Shape : std::uint8_t { kLeaf, kList, kDicti };

  CAtom() = default;
  explicit CAtom(Shape shape) : shape_(shape) {}
  CAtom(const CAtom&) = default;
  CAtom& operator=(const CAtom&) = default;

 private:
  friend class AtomTree;
  Shape shape_ = Shape::kLeaf;
};

using AtomPtr = std::unique_ptr<CAtom>;

// The integer kinds, one for each width of the values they hold. Both give Value() as a
// 64-bit number and write the decimal text of the value they hold.
template <class Held>
class CAtomInteger : public CAtom {
 public:
  std::int32_t WireLength() const override;
  std::int32_t ValueLength() const override;
  std::string AsText() const override;
  std::int64_t Value() const { return value_; }

 protected:
  explicit CAtomInteger(Held value) : value_(value) {}

 private:
  Held value_;
};
extern template class CAtomInteger<std::int32_t>;
extern template class CAtomInteger<std::int64_t>;

// A 64-bit integer: the kind the decoder produces for every integer.
class CAtomLong final : public CAtomInteger<std::int64_t> {
 public:
  explicit CAtomLong(std::int64_t value = 0) : CAtomInteger(value) {}
  bool HoldsLong() const override { return true; }
};

// A 32-bit integer. Never produced by the decoder.
class CAtomInt final : public CAtomInteger<std::int32_t> {
 public:
  explicit CAtomInt(std::int32_t value = 0) : CAtomInteger(value) {}
  bool HoldsInt() const override { return true; }
};

// A byte string of any bytes, NUL included. A file list holds one or more for every file,
// mostly short names, so the object is three words: up to kNearBytes bytes sit inside it,
// longer ones in a block of their own of exactly their size.
class CAtomString final : public CAtom {
 public:
  static constexpr std::size_t kNearBytes = 8;

  CAtomString() = default;
  explicit CAtomString(std::string_view bytes) { Assign(bytes); }
  CAtomString(const CAtomString& other) : CAtom(other) { Assign(other.Bytes()); }
  CAtomString& operator=(const CAtomString& other);
  ~CAtomString() override { Free(); }

  bool HoldsString() const override { return true; }
  std::int32_t WireLength() const override;
  std::int32_t ValueLength() const override;
  std::string AsText() const override;
  // The bytes unchanged.
  std::string_view Bytes() const { return {size_ > kNearBytes ? far_ : near_, size_}; }

  // Bytes of the block a string of `size` bytes takes besides the object; 0 for none.
  static std::size_t FarBytes(std::size_t size) { return size > kNearBytes ? size : 0; }

 private:
  void Assign(std::string_view bytes);
  void Free();

  // Lies in the padding after the base's fields, so the object stays three words.
  std::uint32_t size_ = 0;
  union {
    char* far_;
    char near_[kNearBytes] = {};
  };
};

// A dictionary key: a byte string of one word. A key of up to kNearBytes bytes (all that
// torrents repeat: "length", "path", "name", "files") sits in the word itself; a longer one
// points to a block of its own holding its length and bytes. Dense file lists hold two
// keys for each file; an entry takes two words, where a std::string key made it five.
class AtomKey {
 public:
  static constexpr std::size_t kNearBytes = sizeof(std::uintptr_t) - 1;

  AtomKey() = default;
  explicit AtomKey(std::string_view bytes);
  AtomKey(const AtomKey& other) : AtomKey(other.View()) {}
  AtomKey(AtomKey&& other) noexcept : word_(std::exchange(other.word_, kEmpty)) {}
  AtomKey& operator=(AtomKey other) noexcept {
    std::swap(word_, other.word_);
    return *this;
  }
  ~AtomKey();

  std::string_view View() const {
    if ((word_ & kNearFlag) != 0)
      return {reinterpret_cast<const char*>(&word_) + 1, (word_ & 0xFF) >> 1};
    std::uint32_t size;
    std::memcpy(&size, reinterpret_cast<const char*>(word_), sizeof size);
    return {reinterpret_cast<const char*>(word_) + sizeof size, size};
  }
  operator std::string_view() const { return View(); }
  std::size_t size() const { return View().size(); }
  friend bool operator==(const AtomKey& key, std::string_view bytes) { return key.View() == bytes; }

  // Bytes of the block a key of `size` bytes takes besides the word; 0 for none.
  static std::size_t FarBytes(std::size_t size) {
    return size > kNearBytes ? sizeof(std::uint32_t) + size : 0;
  }

 private:
  // The low bit tells a near key from a block address (blocks are aligned); the low byte
  // then holds the length above that bit, and the next bytes the key.
  static_assert(std::endian::native == std::endian::little, "the low byte comes first");
  static constexpr std::uintptr_t kNearFlag = 1;
  static constexpr std::uintptr_t kEmpty = kNearFlag;
  std::uintptr_t word_ = kEmpty;
};

// Keys compare byte by byte as unsigned values; a prefix sorts before the longer key.
struct ByteOrder {
  // std::string_view compares its characters as unsigned values, a prefix first.
  bool operator()(std::string_view a, std::string_view b) const { return a < b; }
};

class CAtomList : public CAtom {
 public:
  using Elements = PoolArray<AtomPtr>;

  CAtomList() : CAtom(Shape::kList) {}
  // Deep copy; an element of a kind outside this family is left out.
  CAtomList(const CAtomList& other);
  CAtomList& operator=(const CAtomList&) = delete;
  ~CAtomList() override;

  bool HoldsList() const override { return true; }
  std::int32_t WireLength() const override;
  std::int32_t ValueLength() const override { return 0; }
  std::string AsText() const override { return {}; }

  virtual bool HasNoItems() const { return items_.empty(); }
  virtual void RemoveAll();
  // Reorders with the C library's rand(): for i = 1 .. n-1 swaps i with rand() % (i + 1).
  virtual void Shuffle();

  // Takes ownership; a null pointer is ignored.
  void Append(AtomPtr value);
  const Elements& Items() const { return items_; }

 private:
  friend class AtomTree;
  friend class AtomBuilder;
  // Sum of the elements' WireLength, up to kSaturated (in the padding after the base's
  // fields, so that the object is four words).
  std::uint32_t contentLength_ = 0;
  Elements items_;
};

class CAtomDicti : public CAtom {
 public:
  // Sorted by ByteOrder, each key once.
  using Entry = std::pair<AtomKey, AtomPtr>;
  using Entries = PoolArray<Entry>;

  CAtomDicti() : CAtom(Shape::kDicti) {}
  // Deep copy, as CopyFrom.
  CAtomDicti(const CAtomDicti& other);
  CAtomDicti& operator=(const CAtomDicti&) = delete;
  ~CAtomDicti() override;

  bool HoldsDicti() const override { return true; }
  std::int32_t WireLength() const override;
  std::int32_t ValueLength() const override { return 0; }
  std::string AsText() const override { return {}; }

  virtual bool HasNoItems() const { return entries_.empty(); }
  virtual void RemoveAll();

  // The value under the key, or nullptr. The dictionary keeps it.
  const CAtom* Lookup(std::string_view key) const;
  // Takes ownership; an earlier value under the key is deleted. A null value is ignored.
  void Store(std::string_view key, AtomPtr value);
  // Replaces the content with a deep copy of `other` (nothing happens when it is this
  // dictionary). `other` may be a dictionary held inside this one.
  void CopyFrom(const CAtomDicti& other);
  // Replaces the content with that of `other`, which is left empty; no copies are made.
  void TakeFrom(CAtomDicti& other);
  // Removes the entry and hands its value over; nullptr when the key is absent.
  AtomPtr Release(std::string_view key);
  // Stores every entry in order, as Store one by one would (a repeated key keeps its last
  // value), but in O(n log n) however the keys arrive.
  void StoreAll(Entries&& entries);
  const Entries& Items() const { return entries_; }

 private:
  friend class AtomTree;
  friend class AtomBuilder;
  Entries::const_iterator Find(std::string_view key) const;
  // Sets contentLength_ from the entries.
  void Recount();

  // Sum over entries of key and value WireLength, up to kSaturated (as in CAtomList).
  std::uint32_t contentLength_ = 0;
  Entries entries_;
};

// A deep copy of a value of this family, or nullptr for any other kind.
AtomPtr CloneAtom(const CAtom& value);

// Size of the canonical encoding of a byte string of `length` bytes.
std::int64_t StringWireLength(std::uint64_t length);

// Containers keep the size of their content up to this: any more and their WireLength is
// clamped all the same. Only taking content out of a container held at it needs a count.
inline constexpr std::uint32_t kSaturated = 0xFFFFFFFF;
inline std::uint32_t Saturate(std::int64_t length) {
  return length >= kSaturated ? kSaturated : static_cast<std::uint32_t>(length);
}

}  // namespace morvane
