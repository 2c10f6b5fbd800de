#include "torrent/Atom.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <utility>

namespace morvane {

namespace {

// Decimal digits of a number.
std::int32_t DigitCount(std::uint64_t number) {
  std::int32_t digits = 1;
  while (number >= 10000) {
    number /= 10000;
    digits += 4;
  }
  return digits + (number >= 10) + (number >= 100) + (number >= 1000);
}

// Characters of the decimal text of a value, "-" included.
std::int32_t DecimalWidth(std::int64_t value) {
  const std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  return DigitCount(magnitude) + (value < 0 ? 1 : 0);
}

std::int32_t ClampWireLength(std::int64_t length) {
  return static_cast<std::int32_t>(
      std::min<std::int64_t>(length, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

// Reaches into containers to take their children apart or fill them without recursion.
class AtomTree {
 public:
  // Destroys every value on the pile, moving the children of containers onto the pile
  // first so that no destructor ever recurses.
  static void Dismantle(std::vector<AtomPtr>& pile) {
    while (!pile.empty()) {
      AtomPtr value = std::move(pile.back());
      pile.pop_back();
      if (!value || value->shape_ == CAtom::Shape::kLeaf) continue;  // callers' piles hold any
      if (value->shape_ == CAtom::Shape::kList) {
        auto& list = static_cast<CAtomList&>(*value);
        for (auto& item : list.items_) Drop(std::move(item), pile);
        list.items_.clear();
      } else {
        auto& dicti = static_cast<CAtomDicti&>(*value);
        for (auto& entry : dicti.entries_) Drop(std::move(entry.second), pile);
        dicti.entries_.clear();
      }
    }
  }

  // A leaf goes at once; a container waits on the pile until its children are out.
  static void Drop(AtomPtr value, std::vector<AtomPtr>& pile) {
    if (value && value->shape_ != CAtom::Shape::kLeaf) pile.push_back(std::move(value));
  }

  static void Dismantle(CAtomList::Elements&& items) {
    std::vector<AtomPtr> pile;
    for (auto& item : items) Drop(std::move(item), pile);
    items.clear();
    Dismantle(pile);
  }

  static void Dismantle(CAtomDicti::Entries&& entries) {
    std::vector<AtomPtr> pile;
    for (auto& entry : entries) Drop(std::move(entry.second), pile);
    entries.clear();
    Dismantle(pile);
  }
};

namespace {

AtomPtr CloneLeaf(const CAtom& value) {
  if (value.HoldsInt()) {
    return std::make_unique<CAtomInt>(
        static_cast<std::int32_t>(static_cast<const CAtomInt&>(value).Value()));
  }
  if (value.HoldsLong())
    return std::make_unique<CAtomLong>(static_cast<const CAtomLong&>(value).Value());
  if (value.HoldsString())
    return std::make_unique<CAtomString>(static_cast<const CAtomString&>(value).Bytes());
  return nullptr;
}

// One container being copied: its source, the copy under construction and the next child
// to visit. `key` (the source's own) is where the finished copy goes in a parent dictionary.
struct CloneFrame {
  const CAtom* source;
  AtomPtr copy;
  std::size_t nextItem = 0;
  CAtomDicti::Entries::const_iterator nextEntry{};
  std::string_view key;
};

void AddToCopy(CloneFrame& parent, std::string_view key, AtomPtr child) {
  if (!child) return;
  if (parent.source->HoldsList())
    static_cast<CAtomList&>(*parent.copy).Append(std::move(child));
  else
    static_cast<CAtomDicti&>(*parent.copy).Store(key, std::move(child));
}

CloneFrame StartCopy(const CAtom& source, std::string_view key) {
  CloneFrame frame{&source, nullptr, 0, {}, key};
  if (source.HoldsList()) {
    frame.copy = std::make_unique<CAtomList>();
  } else {
    frame.copy = std::make_unique<CAtomDicti>();
    frame.nextEntry = static_cast<const CAtomDicti&>(source).Items().begin();
  }
  return frame;
}

// A deep copy of a list or dictionary, made without recursion.
AtomPtr CopyContainer(const CAtom& source) {
  std::vector<CloneFrame> stack;
  stack.push_back(StartCopy(source, {}));
  while (true) {
    CloneFrame& top = stack.back();
    const CAtom* child = nullptr;
    std::string_view key;
    if (top.source->HoldsList()) {
      const auto& items = static_cast<const CAtomList&>(*top.source).Items();
      if (top.nextItem < items.size()) child = items[top.nextItem++].get();
    } else {
      const auto& entries = static_cast<const CAtomDicti&>(*top.source).Items();
      if (top.nextEntry != entries.end()) {
        key = top.nextEntry->first;
        child = top.nextEntry->second.get();
        ++top.nextEntry;
      }
    }
    if (child == nullptr) {  // this container is complete
      CloneFrame done = std::move(stack.back());
      stack.pop_back();
      if (stack.empty()) return std::move(done.copy);
      AddToCopy(stack.back(), done.key, std::move(done.copy));
      continue;
    }
    if (child->HoldsList() || child->HoldsDicti())
      stack.push_back(StartCopy(*child, key));
    else
      AddToCopy(top, key, CloneLeaf(*child));
  }
}

}  // namespace

AtomPtr CloneAtom(const CAtom& value) {
  if (!value.HoldsList() && !value.HoldsDicti()) return CloneLeaf(value);
  return CopyContainer(value);
}

std::int64_t StringWireLength(std::uint64_t length) {
  return DigitCount(length) + 1 + static_cast<std::int64_t>(length);
}

// ---- integers and strings ---------------------------------------------------------------

template <class Held>
std::int32_t CAtomInteger<Held>::WireLength() const {
  return ValueLength() + 2;
}
template <class Held>
std::int32_t CAtomInteger<Held>::ValueLength() const {
  return DecimalWidth(value_);
}
template <class Held>
std::string CAtomInteger<Held>::AsText() const {
  return std::to_string(value_);
}
template class CAtomInteger<std::int32_t>;
template class CAtomInteger<std::int64_t>;

void CAtomString::Assign(std::string_view bytes) {
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max())
    throw std::length_error("byte string too long");
  char* target = near_;
  if (const std::size_t far = FarBytes(bytes.size())) {
    target = static_cast<char*>(atompool::TakeAny(far));
    far_ = target;
  }
  if (!bytes.empty()) std::memcpy(target, bytes.data(), bytes.size());
  size_ = static_cast<std::uint32_t>(bytes.size());
}

void CAtomString::Free() {
  if (const std::size_t far = FarBytes(size_)) atompool::GiveAny(far_, far);
  size_ = 0;
}

CAtomString& CAtomString::operator=(const CAtomString& other) {
  if (&other != this) {
    CAtom::operator=(other);
    CAtomString copy(other.Bytes());
    Free();
    size_ = std::exchange(copy.size_, 0);
    std::memcpy(near_, copy.near_, kNearBytes);  // whichever of the two it holds
  }
  return *this;
}

std::int32_t CAtomString::WireLength() const {
  return ClampWireLength(StringWireLength(size_));
}
std::int32_t CAtomString::ValueLength() const {
  return ClampWireLength(size_);
}
std::string CAtomString::AsText() const {
  std::string text(Bytes());
  std::replace(text.begin(), text.end(), '\0', ' ');
  return text;
}

// What the file lists of large torrents are made of, at the sizes the decoder counts on.
static_assert(sizeof(void*) != 8 ||
              (sizeof(CAtomString) == 24 && sizeof(CAtomLong) == 24 && sizeof(CAtomList) == 32 &&
               sizeof(CAtomDicti) == 32 && sizeof(CAtomDicti::Entry) == 16));

// ---- keys -------------------------------------------------------------------------------

AtomKey::AtomKey(std::string_view bytes) {
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max())
    throw std::length_error("key too long");
  if (bytes.size() <= kNearBytes) {
    char word[sizeof word_] = {static_cast<char>(bytes.size() << 1 | kNearFlag)};
    if (!bytes.empty()) std::memcpy(word + 1, bytes.data(), bytes.size());
    std::memcpy(&word_, word, sizeof word_);
    return;
  }
  char* block = static_cast<char*>(atompool::TakeAny(FarBytes(bytes.size())));
  const auto size = static_cast<std::uint32_t>(bytes.size());
  std::memcpy(block, &size, sizeof size);
  std::memcpy(block + sizeof size, bytes.data(), bytes.size());
  word_ = reinterpret_cast<std::uintptr_t>(block);
}

AtomKey::~AtomKey() {
  if ((word_ & kNearFlag) == 0)
    atompool::GiveAny(reinterpret_cast<void*>(word_), FarBytes(View().size()));
}

// ---- lists ------------------------------------------------------------------------------

CAtomList::CAtomList(const CAtomList& other) : CAtom(other) {
  AtomPtr copy = CopyContainer(other);
  auto& filled = static_cast<CAtomList&>(*copy);
  items_ = std::move(filled.items_);
  contentLength_ = filled.contentLength_;
  filled.items_.clear();
}

CAtomList::~CAtomList() {
  if (!items_.empty()) AtomTree::Dismantle(std::move(items_));
}

std::int32_t CAtomList::WireLength() const {
  return ClampWireLength(2 + std::int64_t{contentLength_});
}

void CAtomList::RemoveAll() {
  AtomTree::Dismantle(std::move(items_));
  items_.clear();
  contentLength_ = 0;
}

void CAtomList::Shuffle() {
  for (std::size_t i = 1; i < items_.size(); ++i) {
    const std::size_t j = static_cast<std::size_t>(std::rand()) % (i + 1);
    std::swap(items_[i], items_[j]);
  }
}

void CAtomList::Append(AtomPtr value) {
  if (!value) return;
  contentLength_ = Saturate(std::int64_t{contentLength_} + value->WireLength());
  if (items_.empty()) items_.reserve(4);  // one allocation for the many short lists
  items_.push_back(std::move(value));
}

// ---- dictionaries -----------------------------------------------------------------------

CAtomDicti::CAtomDicti(const CAtomDicti& other) : CAtom(other) {
  CopyFrom(other);
}

CAtomDicti::~CAtomDicti() {
  if (!entries_.empty()) AtomTree::Dismantle(std::move(entries_));
}

std::int32_t CAtomDicti::WireLength() const {
  return ClampWireLength(2 + std::int64_t{contentLength_});
}

void CAtomDicti::RemoveAll() {
  AtomTree::Dismantle(std::move(entries_));
  entries_.clear();
  contentLength_ = 0;
}

CAtomDicti::Entries::const_iterator CAtomDicti::Find(std::string_view key) const {
  if (entries_.size() <= 8) {  // most dictionaries are small: a plain look through
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
      if (it->first == key) return it;
    return entries_.end();
  }
  const auto it = std::lower_bound(
      entries_.begin(), entries_.end(), key,
      [](const auto& entry, std::string_view k) { return ByteOrder()(entry.first, k); });
  return it != entries_.end() && it->first == key ? it : entries_.end();
}

const CAtom* CAtomDicti::Lookup(std::string_view key) const {
  const auto it = Find(key);
  return it == entries_.end() ? nullptr : it->second.get();
}

void CAtomDicti::Store(std::string_view key, AtomPtr value) {
  if (!value) return;
  const std::int64_t added = value->WireLength();
  auto it = std::lower_bound(
      entries_.begin(), entries_.end(), key,
      [](const auto& entry, std::string_view k) { return ByteOrder()(entry.first, k); });
  if (it != entries_.end() && it->first == key) {
    const std::int64_t removed = it->second->WireLength();
    std::vector<AtomPtr> earlier;
    earlier.push_back(std::exchange(it->second, std::move(value)));
    AtomTree::Dismantle(earlier);
    if (contentLength_ == kSaturated)
      Recount();
    else
      contentLength_ = Saturate(std::int64_t{contentLength_} + added - removed);
  } else {
    contentLength_ = Saturate(std::int64_t{contentLength_} + StringWireLength(key.size()) + added);
    entries_.emplace(it, AtomKey(key), std::move(value));
  }
}

void CAtomDicti::StoreAll(Entries&& unsorted) {
  if (!entries_.empty()) {
    for (auto& [key, value] : unsorted) Store(key, std::move(value));
    return;
  }
  unsorted.erase(std::remove_if(unsorted.begin(), unsorted.end(),
                                [](const auto& entry) { return entry.second == nullptr; }),
                 unsorted.end());
  std::vector<AtomPtr> replaced;
  const auto notAscending = [](const auto& a, const auto& b) {
    return !ByteOrder()(a.first, b.first);
  };
  if (std::adjacent_find(unsorted.begin(), unsorted.end(), notAscending) != unsorted.end()) {
    std::stable_sort(unsorted.begin(), unsorted.end(),
                     [](const auto& a, const auto& b) { return ByteOrder()(a.first, b.first); });
    Entries unique;
    unique.reserve(unsorted.size());
    for (auto& entry : unsorted) {
      if (!unique.empty() && unique.back().first == entry.first)
        replaced.push_back(std::exchange(unique.back().second, std::move(entry.second)));
      else
        unique.push_back(std::move(entry));
    }
    unsorted = std::move(unique);
  }
  entries_ = std::move(unsorted);
  Recount();
  AtomTree::Dismantle(replaced);
}

void CAtomDicti::Recount() {
  std::int64_t length = 0;
  for (const auto& [key, value] : entries_)
    length += StringWireLength(key.size()) + value->WireLength();
  contentLength_ = Saturate(length);
}

void CAtomDicti::TakeFrom(CAtomDicti& other) {
  if (&other == this) return;
  Entries taken = std::move(other.entries_);
  const std::uint32_t length = other.contentLength_;
  other.entries_.clear();
  other.contentLength_ = 0;
  RemoveAll();  // after the move: `other` may be held inside this dictionary
  entries_ = std::move(taken);
  contentLength_ = length;
}

AtomPtr CAtomDicti::Release(std::string_view key) {
  const auto found = Find(key);
  if (found == entries_.end()) return nullptr;
  const auto it = entries_.begin() + (found - entries_.cbegin());
  AtomPtr value = std::move(it->second);
  const std::int64_t removed = StringWireLength(key.size()) + value->WireLength();
  entries_.erase(it);
  if (contentLength_ == kSaturated)
    Recount();
  else
    contentLength_ -= static_cast<std::uint32_t>(removed);
  return value;
}

void CAtomDicti::CopyFrom(const CAtomDicti& other) {
  if (&other == this) return;
  // Copy first: `other` may live inside this dictionary and go with RemoveAll.
  AtomPtr copy = CopyContainer(other);
  auto& filled = static_cast<CAtomDicti&>(*copy);
  RemoveAll();
  entries_ = std::move(filled.entries_);
  contentLength_ = filled.contentLength_;
  filled.entries_.clear();
}

}  // namespace morvane
