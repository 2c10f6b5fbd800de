#include "torrent/Bencode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace morvane {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// White space as the C library's scanf skips it in the "C" locale.
bool IsScanSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

class Decoder {
 public:
  Decoder(const char* data, std::uint32_t length, InfoBytes* info)
      : data_(data),
        length_(length),
        workLimit_(kWorkAllowance + kWorkPerInputByte * static_cast<std::uint64_t>(length)),
        info_(info) {}

  AtomPtr Run(std::uint32_t position);

 private:
  // A list or dictionary being filled, and the position of its next element. A
  // dictionary's entries are collected in arrival order and sorted once it is complete.
  struct Frame {
    AtomPtr container;
    std::uint32_t pos = 0;
    bool isDicti = false;
    bool haveKey = false;  // dictionaries: `key` waits for its value
    // Every element so far is read from exactly its canonical encoding, and keys arrived
    // in strictly ascending order.
    bool canonical = true;
    std::string key;
    CAtomDicti::Entries entries;
  };

  // A leaf value at pos (an integer or a byte string), or nullptr.
  AtomPtr ParseLeaf(std::uint32_t pos);
  AtomPtr ParseInteger(std::uint32_t pos);
  AtomPtr ParseByteString(std::uint32_t pos);
  // The bytes of the byte string at pos: where they start and how many; false when there
  // is no well-formed string within the data.
  bool StringSpan(std::uint32_t pos, std::uint32_t& start, std::uint32_t& count);
  // Completes the container on top of the stack and takes it off; `closed`: it ended with
  // its "e" rather than with the data.
  AtomPtr Close(bool closed);
  // Starts the value at pos: a leaf is returned whole; a container is pushed as a frame and
  // `opened` is set. nullptr with `opened` false is a failure.
  AtomPtr Begin(std::uint32_t pos, bool& opened);
  // Hands a finished value to the frame on top of the stack.
  void Deliver(AtomPtr value);
  bool Spend(std::uint64_t units) {
    work_ += units;
    return work_ <= workLimit_;
  }

  const char* data_;
  std::uint32_t length_;
  std::uint64_t work_ = 0;
  std::uint64_t workLimit_;
  std::vector<Frame> stack_;
  InfoBytes* info_;
  // Whether the value just parsed was read from exactly its canonical encoding.
  bool lastCanonical_ = false;
};

AtomPtr Decoder::ParseInteger(std::uint32_t pos) {
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
  if (p == digits) return nullptr;
  const std::int64_t value =
      negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  auto atom = std::make_unique<CAtomLong>(value);
  // Any sign, space or zero beyond the canonical text makes the span longer.
  lastCanonical_ = stop + 1 - (data_ + pos) == atom->WireLength();
  return atom;
}

bool Decoder::StringSpan(std::uint32_t pos, std::uint32_t& start, std::uint32_t& count) {
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
  if (!Spend(start - pos)) return false;
  if (declared > length_ - start || !Spend(1 + declared)) return false;
  count = static_cast<std::uint32_t>(declared);
  return true;
}

AtomPtr Decoder::ParseByteString(std::uint32_t pos) {
  std::uint32_t start = 0, count = 0;
  if (!StringSpan(pos, start, count)) return nullptr;
  lastCanonical_ = static_cast<std::int64_t>(start) + count - pos == StringWireLength(count);
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
  if (stack_.size() >= kMaxNestingDepth || !Spend(1)) return nullptr;
  Frame& frame = stack_.emplace_back();
  frame.pos = pos + 1;
  frame.isDicti = c == 'd';
  if (frame.isDicti)
    frame.container = std::make_unique<CAtomDicti>();
  else
    frame.container = std::make_unique<CAtomList>();
  opened = true;
  return nullptr;
}

void Decoder::Deliver(AtomPtr value) {
  Frame& parent = stack_.back();
  const auto wireLength = static_cast<std::uint32_t>(value->WireLength());
  parent.canonical = parent.canonical && lastCanonical_;
  if (parent.isDicti) {
    // std::string compares bytes as unsigned values, a prefix first: the key order.
    if (!parent.entries.empty() && !(parent.entries.back().first < parent.key))
      parent.canonical = false;
    // The last value under "info" of the outermost dictionary is the one it keeps.
    if (info_ != nullptr && stack_.size() == 1 && parent.key == "info") {
      info_->canonical = lastCanonical_ && value->HoldsDicti();
      info_->start = parent.pos;
      info_->length = wireLength;
    }
  }
  parent.pos += wireLength;
  if (parent.isDicti) {
    if (parent.entries.empty()) parent.entries.reserve(4);  // most dictionaries are small
    parent.entries.emplace_back(std::move(parent.key), std::move(value));
    parent.haveKey = false;
  } else {
    static_cast<CAtomList&>(*parent.container).Append(std::move(value));
  }
}

AtomPtr Decoder::Run(std::uint32_t position) {
  bool opened = false;
  AtomPtr first = Begin(position, opened);
  if (!opened) return first;
  while (true) {
    Frame& top = stack_.back();
    const bool more = top.pos < length_ && data_[top.pos] != 'e';
    if (top.isDicti && !top.haveKey && more) {
      // Only a byte string can be a key: anything else, well-formed or not, fails. NUL
      // bytes in keys become spaces.
      std::uint32_t start = 0, count = 0;
      if (!IsDigit(data_[top.pos]) || !StringSpan(top.pos, start, count)) return nullptr;
      const auto keyLength = static_cast<std::uint32_t>(StringWireLength(count));
      if (start + count - top.pos != keyLength) top.canonical = false;
      top.pos += keyLength;
      top.key.assign(data_ + start, count);
      if (top.key.find('\0') != std::string::npos) {
        std::replace(top.key.begin(), top.key.end(), '\0', ' ');
        top.canonical = false;
      }
      if (top.pos < length_) {
        top.haveKey = true;
        continue;
      }
      // The data ends after a key: the key is dropped and the dictionary is complete.
    } else if (top.haveKey || more) {
      AtomPtr value = Begin(top.pos, opened);  // may invalidate `top`
      if (opened) continue;
      if (!value) return nullptr;
      Deliver(std::move(value));
      continue;
    }
    // The container is complete (closing "e", or the end of the data).
    AtomPtr done = Close(top.pos < length_);
    if (stack_.empty()) return done;
    Deliver(std::move(done));
  }
}

AtomPtr Decoder::Close(bool closed) {
  Frame& top = stack_.back();
  lastCanonical_ = top.canonical && closed;
  if (top.isDicti) static_cast<CAtomDicti&>(*top.container).StoreAll(std::move(top.entries));
  AtomPtr done = std::move(top.container);
  stack_.pop_back();
  return done;
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
void WriteString(const std::string& bytes, Out& out) {
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
