#pragma once
// Hands a new, empty container its whole content at once. For a builder that already knows
// what Append and Store would work out one element at a time (each element's encoded
// size, and that the keys arrive in order), so filling costs no further virtual calls,
// comparisons or reallocations.

#include <cstdint>
#include <utility>

#include "torrent/Atom.h"

namespace morvane {

class AtomBuilder {
 public:
  // `items` hold no null pointer; `contentLength` is the sum of their WireLength.
  static void Fill(CAtomList& list, CAtomList::Elements&& items, std::int64_t contentLength) {
    list.items_ = std::move(items);
    list.contentLength_ = Saturate(contentLength);
  }
  // As above, and the keys are in strictly ascending ByteOrder; `contentLength` also counts
  // each key's encoded size.
  static void Fill(CAtomDicti& dicti, CAtomDicti::Entries&& entries, std::int64_t contentLength) {
    dicti.entries_ = std::move(entries);
    dicti.contentLength_ = Saturate(contentLength);
  }
};

}  // namespace morvane
