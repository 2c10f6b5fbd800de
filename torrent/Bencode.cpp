#include "torrent/Bencode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <vector>

#include "torrent/AtomBuilder.h"

namespace morvane {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// White space as the C library's scanf skips it in the "C" locale.
bool IsScanSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Whether the bytes hold a NUL; keys are mostly a few bytes, too short for memchr to pay.
bool HasNul(const char* bytes, std::size_t count) {
  if (count > 32) return std::memchr(bytes, '\0', count) != nullptr;
  for (std::size_t i = 0; i < count; ++i)
    if (bytes[i] == '\0') return true;
  return false;
}

// Key order: bytes compared as unsigned values, a prefix first. Keys mostly differ in
// their first byte, which settles it without a call.
bool KeyBefore(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty() && a[0] != b[0])
    return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
  return a < b;
}

// What the decoder counts against kTreeBytesPerInputByte: the bytes each allocation holds
// with the allocator's own rounding and bookkeeping, never less than it really takes.
// Pooled blocks come in steps of atompool::kBlockAlignment without a header. Heap blocks
// carry an 8-byte header, round to 16 and take at least 32; large ones are mapped whole
// pages with a 16-byte header.
std::uint64_t HeapCost(std::uint64_t bytes) {
  constexpr std::uint64_t kMappedFrom = std::uint64_t{64} << 10;  // below any mapping
  constexpr std::uint64_t kPage = 4096;
  if (bytes >= kMappedFrom) return (bytes + 16 + kPage - 1) & ~(kPage - 1);
  return std::max<std::uint64_t>(32, (bytes + 8 + 15) & ~std::uint64_t{15});
}
std::uint64_t ValueCost(std::uint64_t bytes) {
  constexpr std::uint64_t kStep = atompool::kBlockAlignment;
  if (bytes == 0) return 0;
  return bytes <= atompool::kLargestBlock ? (bytes + kStep - 1) & ~(kStep - 1) : HeapCost(bytes);
}
std::uint64_t StringCost(std::uint32_t count) {
  return ValueCost(sizeof(CAtomString)) + ValueCost(CAtomString::FarBytes(count));
}
std::uint64_t KeyCost(std::uint32_t count) {
  return ValueCost(AtomKey::FarBytes(count));
}

class Decoder {
 public:
  Decoder(const char* data, std::uint32_t length, InfoBytes* info)
      : data_(data),
        length_(length),
        workLimit_(kWorkAllowance + kWorkPerInputByte * static_cast<std::uint64_t>(length)),
        memoryLimit_(kTreeBytesAllowance + kTreeBytesPerInputByte * std::uint64_t{length}),
        info_(info) {
    frames_.reserve(16);
  }

  AtomPtr Run(std::uint32_t position);

 private:
  // A list or dictionary being read, and the position of its next element. Its elements
  // gather here and go to the container, made once it is complete. Frames stay in place
  // when their container is done and serve the next one at the same depth.
  struct Frame {
    std::uint32_t pos = 0;
    bool isDicti = false;
    bool haveKey = false;  // dictionaries: the last entry waits for its value
    // Every element so far is read from exactly its canonical encoding, and keys arrived
    // in strictly ascending order.
    bool canonical = true;
    // Dictionaries: the keys so far arrived in strictly ascending order.
    bool ordered = true;
    // Sum of the WireLength of the elements so far, and of the keys of the dictionary.
    std::int64_t contentLength = 0;
    // Gathered elements. Kept from one container to the next at this depth; a finished
    // container gets a copy of exactly its size.
    CAtomList::Elements items;
    CAtomDicti::Entries entries;
  };

  // A leaf value at pos (an integer or a byte string), or nullptr.
  AtomPtr ParseLeaf(std::uint32_t pos);
  AtomPtr ParseInteger(std::uint32_t pos);
  // Integers as scanf reads them, whatever the text between "i" and "e".
  AtomPtr ParseAnyInteger(std::uint32_t pos);
  AtomPtr ParseByteString(std::uint32_t pos);
  // The bytes of the byte string at pos: where they start and how many; false when there
  // is no well-formed string within the data. `canonical`: the length has no leading zero.
  bool StringSpan(std::uint32_t pos, std::uint32_t& start, std::uint32_t& count,
                  bool& canonical);
  // Reads the key at the position of the dictionary on top; false when there is none.
  bool ReadKey(Frame& top);
  // Completes the container on top of the stack and takes it off; `closed`: it ended with
  // its "e" rather than with the data.
  AtomPtr Close(bool closed);
  // Starts the value at pos: a leaf is returned whole; a container is pushed as a frame and
  // `opened` is set. nullptr with `opened` false is a failure.
  AtomPtr Begin(std::uint32_t pos, bool& opened);
  // Hands a finished value to the frame on top of the stack; false past the memory limit.
  bool Deliver(AtomPtr value);
  bool Spend(std::uint64_t units) {
    work_ += units;
    return work_ <= workLimit_;
  }
  // Counts memory the decoded values take; false past the limit. Nothing is given back
  // while decoding, so the count is an upper bound on what is held.
  bool Hold(std::uint64_t bytes) {
    memory_ += bytes;
    return memory_ <= memoryLimit_;
  }
  // Makes room for one more gathered element, counting a larger array when it grows.
  template <class Vector>
  bool RoomForOne(Vector& gathered) {
    if (gathered.size() < gathered.capacity()) return true;
    const std::size_t capacity = std::max<std::size_t>(8, gathered.capacity() * 2);
    if (!Hold(ValueCost(capacity * sizeof(typename Vector::value_type)))) return false;
    gathered.reserve(capacity);
    return true;
  }

  const char* data_;
  std::uint32_t length_;
  std::uint64_t work_ = 0;
  std::uint64_t workLimit_;
  std::uint64_t memory_ = 0;
  std::uint64_t memoryLimit_;
  std::vector<Frame> frames_;
  std::size_t depth_ = 0;  // frames in use
  InfoBytes* info_;
  // Of the value just parsed: whether it was read from exactly its canonical encoding,
  // and its WireLength.
  bool lastCanonical_ = false;
  std::int32_t lastWireLength_ = 0;
};

AtomPtr Decoder::ParseInteger(std::uint32_t pos) {
  // Canonical text first: an optional "-", then up to 18 digits (too few to overflow)
  // without a leading zero, other than "0" itself, and the "e".
  const char* const text = data_ + pos + 1;
  const char* const dataEnd = data_ + length_;
  const char* p = text;
  const bool negative = p < dataEnd && *p == '-';
  if (negative) ++p;
  const char* const digits = p;
  std::uint64_t magnitude = 0;
  while (p < dataEnd && IsDigit(*p) && p - digits < 18)
    magnitude = magnitude * 10 + static_cast<unsigned>(*p++ - '0');
  const std::ptrdiff_t count = p - digits;
  if (p == dataEnd || *p != 'e' || count == 0 || (*digits == '0' && (count > 1 || negative)))
    return ParseAnyInteger(pos);
  if (!Spend(static_cast<std::uint64_t>(p - text)) || !Hold(ValueCost(sizeof(CAtomLong))))
    return nullptr;
  lastWireLength_ = static_cast<std::int32_t>(p + 1 - (data_ + pos));
  lastCanonical_ = true;
  return std::make_unique<CAtomLong>(negative ? -static_cast<std::int64_t>(magnitude)
                                              : static_cast<std::int64_t>(magnitude));
}

AtomPtr Decoder::ParseAnyInteger(std::uint32_t pos) {
  const char* p = data_ + pos + 1;
  const char* const dataEnd = data_ + length_;
  // Canonical text runs to its "e" without any other byte, so that "e" is the first one;
  // only other text needs the search.
  const char* stop = p;
  if (stop < dataEnd && *stop == '-') ++stop;
  while (stop < dataEnd && IsDigit(*stop)) ++stop;
  if (stop == dataEnd || *stop != 'e') {
    const void* end = std::memchr(data_ + pos, 'e', length_ - pos);
    if (end == nullptr) return nullptr;
    stop = static_cast<const char*>(end);
  }
  // Drift can make the decoder search the same long stretch again and again.
  if (!Spend(static_cast<std::uint64_t>(stop - p))) return nullptr;
  // Read as scanf("%I64d") reads the text between "i" and "e": white space, an optional
  // sign, then digits up to the first other byte. No digits, or a number outside 64 bits,
  // is no integer.
  while (p < stop && IsScanSpace(*p)) ++p;
  bool negative = false;
  if (p < stop && (*p == '+' || *p == '-')) negative = *p++ == '-';
  const std::uint64_t limit =
      negative ? std::uint64_t{1} << 63 : std::uint64_t{std::numeric_limits<std::int64_t>::max()};
  std::uint64_t magnitude = 0;
  const char* const digits = p;
  for (; p < stop && IsDigit(*p); ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (__builtin_mul_overflow(magnitude, 10u, &magnitude) ||
        __builtin_add_overflow(magnitude, digit, &magnitude) || magnitude > limit)
      return nullptr;
  }
  if (p == digits || !Hold(ValueCost(sizeof(CAtomLong)))) return nullptr;
  const std::int64_t value =
      negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  auto atom = std::make_unique<CAtomLong>(value);
  lastWireLength_ = atom->WireLength();
  // Any sign, space or zero beyond the canonical text makes the span longer.
  lastCanonical_ = stop + 1 - (data_ + pos) == lastWireLength_;
  return atom;
}

bool Decoder::StringSpan(std::uint32_t pos, std::uint32_t& start, std::uint32_t& count,
                         bool& canonical) {
  // Digits, then the colon.
  const char* p = data_ + pos;
  const char* const dataEnd = data_ + length_;
  std::uint64_t declared = 0;
  for (; p < dataEnd && IsDigit(*p); ++p) {
    // Any length beyond the data is refused below; stop growing once it is certain.
    if (declared <= length_) declared = declared * 10 + static_cast<unsigned>(*p - '0');
  }
  if (p == dataEnd || *p != ':') return false;
  start = static_cast<std::uint32_t>(p - data_) + 1;
  // The work of reading the length and of copying the bytes.
  if (declared > length_ - start || !Spend(start - pos + 1 + declared)) return false;
  count = static_cast<std::uint32_t>(declared);
  canonical = data_[pos] != '0' || start - pos == 2;
  return true;
}

AtomPtr Decoder::ParseByteString(std::uint32_t pos) {
  std::uint32_t start = 0, count = 0;
  if (!StringSpan(pos, start, count, lastCanonical_) || !Hold(StringCost(count))) return nullptr;
  // Below 2^31 bytes (kMaxInputLength), so the size fits WireLength unclamped.
  lastWireLength_ = lastCanonical_ ? static_cast<std::int32_t>(start + count - pos)
                                   : static_cast<std::int32_t>(StringWireLength(count));
  return std::make_unique<CAtomString>(std::string_view(data_ + start, count));
}

AtomPtr Decoder::ParseLeaf(std::uint32_t pos) {
  if (data_[pos] == 'i') return Spend(1) ? ParseInteger(pos) : nullptr;
  if (IsDigit(data_[pos])) return ParseByteString(pos);
  return nullptr;
}

AtomPtr Decoder::Begin(std::uint32_t pos, bool& opened) {
  opened = false;
  if (pos >= length_) return nullptr;
  const char c = data_[pos];
  if (c != 'l' && c != 'd') return ParseLeaf(pos);
  if (depth_ >= kMaxNestingDepth || !Spend(1)) return nullptr;
  if (depth_ == frames_.size()) frames_.emplace_back();
  Frame& frame = frames_[depth_++];
  // A reused frame's arrays were emptied by its last container.
  frame.pos = pos + 1;
  frame.isDicti = c == 'd';
  frame.haveKey = false;
  frame.canonical = true;
  frame.ordered = true;
  frame.contentLength = 0;
  opened = true;
  return nullptr;
}

bool Decoder::ReadKey(Frame& top) {
  // Only a byte string can be a key: anything else, well-formed or not, fails. NUL bytes
  // in keys become spaces. The key starts an entry whose value follows.
  std::uint32_t start = 0, count = 0;
  bool canonical = false;
  if (!IsDigit(data_[top.pos]) || !StringSpan(top.pos, start, count, canonical)) return false;
  const auto keyLength = canonical ? start + count - top.pos
                                   : static_cast<std::uint32_t>(StringWireLength(count));
  if (!Hold(KeyCost(count)) || !RoomForOne(top.entries)) return false;
  top.canonical = top.canonical && canonical;
  top.pos += keyLength;
  const std::string_view bytes(data_ + start, count);
  if (HasNul(bytes.data(), count)) {
    std::string spaced(bytes);
    std::replace(spaced.begin(), spaced.end(), '\0', ' ');
    top.entries.emplace_back(AtomKey(spaced), nullptr);
    top.canonical = false;
  } else {
    top.entries.emplace_back(AtomKey(bytes), nullptr);
  }
  return true;
}

bool Decoder::Deliver(AtomPtr value) {
  Frame& parent = frames_[depth_ - 1];
  const auto wireLength = static_cast<std::uint32_t>(lastWireLength_);
  parent.canonical = parent.canonical && lastCanonical_;
  parent.contentLength += lastWireLength_;
  if (parent.isDicti) {
    auto& entries = parent.entries;
    const std::string_view key = entries.back().first;
    if (entries.size() > 1 && !KeyBefore(entries[entries.size() - 2].first, key)) {
      parent.ordered = false;
      parent.canonical = false;
    }
    // The last value under "info" of the outermost dictionary is the one it keeps.
    if (info_ != nullptr && depth_ == 1 && key == "info") {
      info_->canonical = lastCanonical_ && value->HoldsDicti();
      info_->start = parent.pos;
      info_->length = wireLength;
    }
    parent.contentLength += StringWireLength(key.size());
    entries.back().second = std::move(value);
    parent.haveKey = false;
  } else {
    if (!RoomForOne(parent.items)) return false;
    parent.items.push_back(std::move(value));
  }
  parent.pos += wireLength;
  return true;
}

AtomPtr Decoder::Run(std::uint32_t position) {
  bool opened = false;
  AtomPtr first = Begin(position, opened);
  if (!opened) return first;
  while (true) {
    Frame& top = frames_[depth_ - 1];
    const bool more = top.pos < length_ && data_[top.pos] != 'e';
    if (top.isDicti && !top.haveKey && more) {
      if (!ReadKey(top)) return nullptr;
      if (top.pos < length_) {
        top.haveKey = true;
        continue;
      }
      // The data ends after a key: the key is dropped and the dictionary is complete.
      top.entries.pop_back();
    } else if (top.haveKey || more) {
      AtomPtr value = Begin(top.pos, opened);  // may invalidate `top`
      if (opened) continue;
      if (!value || !Deliver(std::move(value))) return nullptr;
      continue;
    }
    // The container is complete (closing "e", or the end of the data).
    AtomPtr done = Close(top.pos < length_);
    if (depth_ == 0 || !done) return done;
    if (!Deliver(std::move(done))) return nullptr;
  }
}

// The gathered elements in an array of exactly their number; `gathered` is left empty for
// the next container at its depth.
template <class Vector>
Vector TakeExactly(Vector& gathered) {
  Vector exact;
  exact.reserve(gathered.size());
  std::move(gathered.begin(), gathered.end(), std::back_inserter(exact));
  gathered.clear();
  return exact;
}

AtomPtr Decoder::Close(bool closed) {
  Frame& top = frames_[--depth_];
  lastCanonical_ = top.canonical && closed;
  if (top.isDicti) {
    const std::uint64_t bytes = top.entries.size() * sizeof(CAtomDicti::Entry);
    // Sorting an unordered one takes two more arrays of its size for a while, one of them
    // the sort's own buffer from the heap.
    const std::uint64_t arrays =
        ValueCost(bytes) * (top.ordered ? 1 : 2) + (top.ordered ? 0 : HeapCost(bytes));
    if (!Hold(ValueCost(sizeof(CAtomDicti)) + arrays)) return nullptr;
    auto dicti = std::make_unique<CAtomDicti>();
    if (top.ordered)
      AtomBuilder::Fill(*dicti, TakeExactly(top.entries), top.contentLength);
    else
      dicti->StoreAll(TakeExactly(top.entries));  // sorts; keeps the last of a repeated key
    lastWireLength_ = dicti->CAtomDicti::WireLength();
    return dicti;
  }
  if (!Hold(ValueCost(sizeof(CAtomList)) + ValueCost(top.items.size() * sizeof(AtomPtr))))
    return nullptr;
  auto list = std::make_unique<CAtomList>();
  AtomBuilder::Fill(*list, TakeExactly(top.items), top.contentLength);
  lastWireLength_ = list->CAtomList::WireLength();
  return list;
}

// ---- encoding ---------------------------------------------------------------------------

// Encoded bytes go to a string...
class StringOut {
 public:
  explicit StringOut(std::string& out) : out_(out) {}
  void Put(char c) { out_ += c; }
  void Put(const char* bytes, std::size_t count) { out_.append(bytes, count); }
  std::size_t Size() const { return out_.size(); }

 private:
  std::string& out_;
};

// ...or straight into a hasher, through a small buffer, so that hashing a large dictionary
// needs no copy of its encoding. Long runs (piece digests) skip the buffer.
class HashOut {
 public:
  explicit HashOut(CSHA1& hasher) : hasher_(hasher) {}
  void Put(char c) {
    if (used_ == sizeof buffer_) Flush();
    buffer_[used_++] = c;
  }
  void Put(const char* bytes, std::size_t count) {
    if (count > sizeof buffer_ - used_) {
      Flush();
      if (count >= sizeof buffer_ / 2) {
        hasher_.Absorb(bytes, count);
        absorbed_ += count;
        return;
      }
    }
    std::memcpy(buffer_ + used_, bytes, count);
    used_ += count;
  }
  std::size_t Size() const { return absorbed_ + used_; }
  void Flush() {
    if (used_ == 0) return;
    hasher_.Absorb(buffer_, used_);
    absorbed_ += used_;
    used_ = 0;
  }

 private:
  CSHA1& hasher_;
  std::size_t used_ = 0;
  std::size_t absorbed_ = 0;  // bytes handed to the hasher
  char buffer_[1 << 14];      // small enough for any thread's stack
};

template <class Out>
void WriteDecimal(std::int64_t number, Out& out) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out.Put(digits, static_cast<std::size_t>(end - digits));
}

template <class Out>
void WriteString(std::string_view bytes, Out& out) {
  WriteDecimal(static_cast<std::int64_t>(bytes.size()), out);
  out.Put(':');
  out.Put(bytes.data(), bytes.size());
}

template <class Out>
void WriteLeaf(const CAtom& value, Out& out) {
  if (value.HoldsLong()) {
    out.Put('i');
    WriteDecimal(static_cast<const CAtomLong&>(value).Value(), out);
    out.Put('e');
  } else if (value.HoldsInt()) {
    out.Put('i');
    WriteDecimal(static_cast<const CAtomInt&>(value).Value(), out);
    out.Put('e');
  } else if (value.HoldsString()) {
    WriteString(static_cast<const CAtomString&>(value).Bytes(), out);
  }
}

// Whether the value has an encoding to write: its WireLength is positive and not clamped.
bool Encodable(const CAtom& root) {
  const std::int32_t wireLength = root.WireLength();
  return wireLength >= 1 && wireLength != std::numeric_limits<std::int32_t>::max();
}

// Writes containers with an explicit stack, so any depth is safe. False when what was
// written disagrees with the WireLength: a value of a kind outside the family writes
// nothing.
template <class Out>
bool Encode(const CAtom& root, Out& out) {
  const std::size_t start = out.Size();
  struct Frame {
    const CAtom* container;
    std::size_t nextItem = 0;
    CAtomDicti::Entries::const_iterator nextEntry{};
  };
  std::vector<Frame> stack;
  auto open = [&](const CAtom& value) {
    if (value.HoldsList()) {
      out.Put('l');
      stack.push_back(Frame{&value});
    } else if (value.HoldsDicti()) {
      out.Put('d');
      stack.push_back(Frame{&value, 0, static_cast<const CAtomDicti&>(value).Items().begin()});
    } else {
      WriteLeaf(value, out);
    }
  };
  open(root);
  while (!stack.empty()) {
    Frame& top = stack.back();
    const CAtom* child = nullptr;
    if (top.container->HoldsList()) {
      const auto& items = static_cast<const CAtomList&>(*top.container).Items();
      if (top.nextItem < items.size()) child = items[top.nextItem++].get();
    } else {
      const auto& entries = static_cast<const CAtomDicti&>(*top.container).Items();
      if (top.nextEntry != entries.end()) {
        WriteString(top.nextEntry->first, out);
        child = top.nextEntry->second.get();
        ++top.nextEntry;
      }
    }
    if (child == nullptr) {
      out.Put('e');
      stack.pop_back();
    } else {
      open(*child);  // may invalidate `top`
    }
  }
  return out.Size() - start == static_cast<std::size_t>(root.WireLength());
}

std::optional<std::string> Encode(const CAtom& root) {
  if (!Encodable(root)) return std::nullopt;
  std::string encoded;
  encoded.reserve(static_cast<std::size_t>(root.WireLength()));
  StringOut out(encoded);
  if (!Encode(root, out)) return std::nullopt;
  return encoded;
}

}  // namespace

AtomPtr ParseValue(const char* data, std::uint32_t length, std::uint32_t position) {
  return ParseValue(data, length, position, nullptr);
}

AtomPtr ParseValue(const char* data, std::uint32_t length, std::uint32_t position,
                   InfoBytes* info) {
  if (info != nullptr) *info = InfoBytes{};
  if (data == nullptr || position >= length || length > kMaxInputLength) return nullptr;
  AtomPtr value = Decoder(data, length, info).Run(position);
  if (!value && info != nullptr) *info = InfoBytes{};
  return value;
}

std::uint32_t ReadTorrentBytes(const std::string& path, std::unique_ptr<char[]>& bytes) {
  bytes.reset();
  // Non-blocking open, so that a FIFO cannot hold the caller; only regular files are read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  struct stat info {};
  const bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
                  static_cast<std::uint64_t>(info.st_size) <= kMaxInputLength;
  const std::size_t size = ok ? static_cast<std::size_t>(info.st_size) : 0;
  // Every byte decoded is one read from the file, so the buffer needs no filling first.
  auto buffer = std::make_unique_for_overwrite<char[]>(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, buffer.get() + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // the file shrank while being read: decode what is there
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  if (done != 0) bytes = std::move(buffer);
  return static_cast<std::uint32_t>(done);
}

AtomPtr ParseTorrentFile(const std::string& path) {
  std::unique_ptr<char[]> bytes;
  const std::uint32_t size = ReadTorrentBytes(path, bytes);
  if (size == 0) return nullptr;
  return ParseValue(bytes.get(), size, 0);
}

std::optional<std::string> SerializeValue(const CAtom& value) {
  return Encode(value);
}

std::optional<std::string> SerializeInteger(const CAtom& value) {
  if (!value.HoldsLong() && !value.HoldsInt()) return std::nullopt;
  return Encode(value);
}

std::optional<std::string> SerializeString(const CAtom& value) {
  if (!value.HoldsString()) return std::nullopt;
  return Encode(value);
}

std::optional<std::string> SerializeList(const CAtom& value) {
  if (!value.HoldsList()) return std::nullopt;
  return Encode(value);
}

std::optional<std::string> SerializeDictionary(const CAtom& value) {
  if (!value.HoldsDicti()) return std::nullopt;
  return Encode(value);
}

bool HashDictionary(const CAtom& value, CSHA1& hasher) {
  if (!value.HoldsDicti() || !Encodable(value)) return false;
  HashOut out(hasher);
  const bool whole = Encode(value, out);
  out.Flush();
  return whole;
}

}  // namespace morvane
