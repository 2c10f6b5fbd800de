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
  Decoder(const char* data, std::uint32_t length)
      : data_(data),
        length_(length),
        workLimit_(kWorkAllowance + kWorkPerInputByte * static_cast<std::uint64_t>(length)) {}

  AtomPtr Run(std::uint32_t position);

 private:
  // A list or dictionary being filled, and the position of its next element. A
  // dictionary's entries are collected in arrival order and sorted once it is complete.
  struct Frame {
    AtomPtr container;
    std::uint32_t pos;
    bool isDicti;
    bool haveKey = false;  // dictionaries: `key` waits for its value
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
  // Completes the container on top of the stack and takes it off.
  AtomPtr Close();
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
};

AtomPtr Decoder::ParseInteger(std::uint32_t pos) {
  const void* end = std::memchr(data_ + pos, 'e', length_ - pos);
  if (end == nullptr) return nullptr;
  const char* p = data_ + pos + 1;
  const char* const stop = static_cast<const char*>(end);
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
    if (magnitude > (limit - digit) / 10) return nullptr;
    magnitude = magnitude * 10 + digit;
  }
  if (p == digits) return nullptr;
  const std::int64_t value =
      negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return std::make_unique<CAtomLong>(value);
}

bool Decoder::StringSpan(std::uint32_t pos, std::uint32_t& start, std::uint32_t& count) {
  const void* colon = std::memchr(data_ + pos, ':', length_ - pos);
  if (colon == nullptr) return false;
  start = static_cast<std::uint32_t>(static_cast<const char*>(colon) - data_) + 1;
  if (!Spend(start - pos)) return false;
  std::uint64_t declared = 0;
  for (std::uint32_t i = pos; i + 1 < start; ++i) {
    if (!IsDigit(data_[i])) return false;
    // Any length beyond the data is refused below; stop growing once it is certain.
    if (declared <= length_) declared = declared * 10 + static_cast<unsigned>(data_[i] - '0');
  }
  if (declared > length_ - start || !Spend(1 + declared)) return false;
  count = static_cast<std::uint32_t>(declared);
  return true;
}

AtomPtr Decoder::ParseByteString(std::uint32_t pos) {
  std::uint32_t start = 0, count = 0;
  if (!StringSpan(pos, start, count)) return nullptr;
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
  Frame frame{nullptr, pos + 1, c == 'd', false, {}, {}};
  if (frame.isDicti)
    frame.container = std::make_unique<CAtomDicti>();
  else
    frame.container = std::make_unique<CAtomList>();
  stack_.push_back(std::move(frame));
  opened = true;
  return nullptr;
}

void Decoder::Deliver(AtomPtr value) {
  Frame& parent = stack_.back();
  parent.pos += static_cast<std::uint32_t>(value->WireLength());
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
      top.pos += static_cast<std::uint32_t>(StringWireLength(count));
      top.key.assign(data_ + start, count);
      std::replace(top.key.begin(), top.key.end(), '\0', ' ');
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
    AtomPtr done = Close();
    if (stack_.empty()) return done;
    Deliver(std::move(done));
  }
}

AtomPtr Decoder::Close() {
  Frame& top = stack_.back();
  if (top.isDicti) static_cast<CAtomDicti&>(*top.container).StoreAll(std::move(top.entries));
  AtomPtr done = std::move(top.container);
  stack_.pop_back();
  return done;
}

// ---- encoding ---------------------------------------------------------------------------

void WriteDecimal(std::int64_t number, std::string& out) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out.append(digits, end);
}

void WriteString(const std::string& bytes, std::string& out) {
  WriteDecimal(static_cast<std::int64_t>(bytes.size()), out);
  out += ':';
  out += bytes;
}

void WriteLeaf(const CAtom& value, std::string& out) {
  if (value.HoldsLong()) {
    out += 'i';
    WriteDecimal(static_cast<const CAtomLong&>(value).Value(), out);
    out += 'e';
  } else if (value.HoldsInt()) {
    out += 'i';
    WriteDecimal(static_cast<const CAtomInt&>(value).Value(), out);
    out += 'e';
  } else if (value.HoldsString()) {
    WriteString(static_cast<const CAtomString&>(value).Bytes(), out);
  }
}

// Writes containers with an explicit stack, so any depth is safe.
std::optional<std::string> Encode(const CAtom& root) {
  const std::int32_t wireLength = root.WireLength();
  if (wireLength < 1 || wireLength == std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  std::string out;
  out.reserve(static_cast<std::size_t>(wireLength));
  struct Frame {
    const CAtom* container;
    std::size_t nextItem = 0;
    CAtomDicti::Entries::const_iterator nextEntry{};
  };
  std::vector<Frame> stack;
  auto open = [&](const CAtom& value) {
    if (value.HoldsList()) {
      out += 'l';
      stack.push_back(Frame{&value});
    } else if (value.HoldsDicti()) {
      out += 'd';
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
      out += 'e';
      stack.pop_back();
    } else {
      open(*child);  // may invalidate `top`
    }
  }
  // A value of a kind outside the family writes nothing and breaks the agreement.
  if (out.size() != static_cast<std::size_t>(wireLength)) return std::nullopt;
  return out;
}

}  // namespace

AtomPtr ParseValue(const char* data, std::uint32_t length, std::uint32_t position) {
  if (data == nullptr || position >= length || length > kMaxInputLength) return nullptr;
  return Decoder(data, length).Run(position);
}

AtomPtr ParseTorrentFile(const std::string& path) {
  // Non-blocking open, so that a FIFO cannot hold the caller; only regular files are read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat info {};
  const bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
                  static_cast<std::uint64_t>(info.st_size) <= kMaxInputLength;
  const std::size_t size = ok ? static_cast<std::size_t>(info.st_size) : 0;
  // Every byte decoded is one read from the file, so the buffer needs no filling first.
  const auto buffer = std::make_unique_for_overwrite<char[]>(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, buffer.get() + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // the file shrank while being read: decode what is there
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  if (done == 0) return nullptr;
  return ParseValue(buffer.get(), static_cast<std::uint32_t>(done), 0);
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

}  // namespace morvane
