#pragma once
// What a Torznab indexer answers a search with: an RSS 2.0 feed whose items carry
// <torznab:attr name=… value=…/> elements, or a lone <error code=… description=…/>.
// Jackett and Prowlarr both answer in this shape.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

// One <item>. Texts are UTF-8 with entities and CDATA sections resolved.
struct TorznabItem {
  std::string title = {};
  std::string link = {};       // <link>: usually a download address of the indexer
  std::string enclosure = {};  // <enclosure url=…>
  std::string magnetUrl = {};  // attribute "magneturl": a magnet link or an address leading to one
  std::string infoHash = {};   // attribute "infohash"
  std::int64_t size = -1;     // bytes; -1 when the item does not say
  std::int64_t seeders = -1;  // -1 when the item does not say
};

struct TorznabAnswer {
  enum class Kind {
    Feed,        // an <rss> document: `items` (possibly none)
    Error,       // an <error> document: `errorCode`, `errorDescription`
    Unreadable,  // not well-formed XML, a document type declaration, or another document
  };
  Kind kind = Kind::Unreadable;
  std::vector<TorznabItem> items;
  std::string errorCode;
  std::string errorDescription;
};

// Reads an answer with expat. A document type declaration is refused before its internal
// subset is read, so no entity can be declared and the work stays linear in the answer's
// size; nothing outside the answer is ever loaded.
TorznabAnswer ReadTorznabAnswer(std::string_view body);

}  // namespace morvane
