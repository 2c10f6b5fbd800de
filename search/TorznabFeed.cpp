#include "search/TorznabFeed.h"

#include <expat.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <memory>

namespace morvane {

namespace {

// expat takes its input in pieces of at most INT_MAX bytes; a body may be larger under a
// raised page cap.
constexpr std::size_t kParsePiece = std::size_t{16} << 20;

struct ParserFree {
  void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};
using ParserHandle = std::unique_ptr<XML_ParserStruct, ParserFree>;

// The name after a namespace prefix: "torznab:attr" and "newznab:attr" are both "attr".
std::string_view LocalName(const XML_Char* name) {
  const std::string_view full(name);
  const auto colon = full.rfind(':');
  return colon == std::string_view::npos ? full : full.substr(colon + 1);
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

std::string_view Trimmed(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::int64_t NumberOr(std::string_view text, std::int64_t otherwise) {
  text = Trimmed(text);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= 0 ? value
                                                                                 : otherwise;
}

// The value of attribute `name` in expat's NULL-ended name/value array, or "".
std::string_view Attribute(const XML_Char** attributes, std::string_view name) {
  for (int i = 0; attributes[i] != nullptr && attributes[i + 1] != nullptr; i += 2)
    if (SameIgnoringCase(attributes[i], name)) return attributes[i + 1];
  return {};
}

class AnswerReader {
 public:
  explicit AnswerReader(XML_Parser parser) : parser_(parser) {
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, &AnswerReader::Start, &AnswerReader::End);
    XML_SetCharacterDataHandler(parser, &AnswerReader::Text);
    XML_SetStartDoctypeDeclHandler(parser, &AnswerReader::Doctype);
    XML_SetEntityDeclHandler(parser, &AnswerReader::EntityDeclared);
    XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
  }

  TorznabAnswer Take(bool wellFormed) {
    if (!wellFormed || refused_) return {};
    return std::move(answer_);
  }

 private:
  static void Start(void* user, const XML_Char* name, const XML_Char** attributes) {
    static_cast<AnswerReader*>(user)->Opened(LocalName(name), attributes);
  }
  static void End(void* user, const XML_Char*) { static_cast<AnswerReader*>(user)->Closed(); }
  static void Text(void* user, const XML_Char* text, int length) {
    auto& reader = *static_cast<AnswerReader*>(user);
    if (reader.collecting_ != nullptr && reader.depth_ == reader.collectingDepth_)
      reader.collecting_->append(text, static_cast<std::size_t>(length));
  }
  static void Doctype(void* user, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<AnswerReader*>(user)->Refuse();
  }
  static void EntityDeclared(void* user, const XML_Char*, int, const XML_Char*, int,
                             const XML_Char*, const XML_Char*, const XML_Char*,
                             const XML_Char*) {
    static_cast<AnswerReader*>(user)->Refuse();
  }

  void Refuse() {
    refused_ = true;
    XML_StopParser(parser_, XML_FALSE);
  }

  void Opened(std::string_view name, const XML_Char** attributes) {
    ++depth_;
    if (depth_ == 1) {
      if (name == "rss") {
        answer_.kind = TorznabAnswer::Kind::Feed;
      } else if (name == "error") {
        answer_.kind = TorznabAnswer::Kind::Error;
        answer_.errorCode = Attribute(attributes, "code");
        answer_.errorDescription = Attribute(attributes, "description");
      }
      return;
    }
    if (answer_.kind != TorznabAnswer::Kind::Feed) return;
    if (itemDepth_ < 0) {
      if (name == "item") {
        itemDepth_ = depth_;
        item_ = {};
        sizeElement_.clear();
        sizeAttribute_ = enclosureLength_ = -1;
      }
      return;
    }
    if (depth_ != itemDepth_ + 1) return;
    if (name == "title") {
      Collect(item_.title);
    } else if (name == "link") {
      Collect(item_.link);
    } else if (name == "size") {
      Collect(sizeElement_);
    } else if (name == "enclosure" && item_.enclosure.empty()) {
      item_.enclosure = Trimmed(Attribute(attributes, "url"));
      enclosureLength_ = NumberOr(Attribute(attributes, "length"), -1);
    } else if (name == "attr") {
      Attributed(Attribute(attributes, "name"), Attribute(attributes, "value"));
    }
  }

  void Attributed(std::string_view name, std::string_view value) {
    if (SameIgnoringCase(name, "magneturl")) {
      item_.magnetUrl = Trimmed(value);
    } else if (SameIgnoringCase(name, "infohash")) {
      item_.infoHash = Trimmed(value);
    } else if (SameIgnoringCase(name, "seeders")) {
      item_.seeders = NumberOr(value, -1);
    } else if (SameIgnoringCase(name, "size")) {
      sizeAttribute_ = NumberOr(value, -1);
    }
  }

  void Collect(std::string& into) {
    into.clear();
    collecting_ = &into;
    collectingDepth_ = depth_;
  }

  void Closed() {
    if (collecting_ != nullptr && depth_ == collectingDepth_) collecting_ = nullptr;
    if (depth_ == itemDepth_) {
      item_.title = Trimmed(item_.title);
      item_.link = Trimmed(item_.link);
      // The item's own <size> first, then the attribute, then the enclosure's length.
      item_.size = NumberOr(sizeElement_, -1);
      if (item_.size < 0) item_.size = sizeAttribute_;
      if (item_.size < 0) item_.size = enclosureLength_;
      answer_.items.push_back(std::move(item_));
      itemDepth_ = -1;
    }
    --depth_;
  }

  XML_Parser parser_;
  TorznabAnswer answer_;
  bool refused_ = false;
  int depth_ = 0;
  int itemDepth_ = -1;  // depth of the open <item>; -1 outside one
  TorznabItem item_;
  std::string sizeElement_;
  std::int64_t sizeAttribute_ = -1;
  std::int64_t enclosureLength_ = -1;
  std::string* collecting_ = nullptr;  // the text being read, of an element at collectingDepth_
  int collectingDepth_ = -1;
};

}  // namespace

TorznabAnswer ReadTorznabAnswer(std::string_view body) {
  ParserHandle parser(XML_ParserCreate(nullptr));
  if (!parser) return {};
  AnswerReader reader(parser.get());
  bool wellFormed = true;
  do {
    const std::size_t piece = std::min(body.size(), kParsePiece);
    const bool last = piece == body.size();
    wellFormed = XML_Parse(parser.get(), body.data(), static_cast<int>(piece),
                           last ? XML_TRUE : XML_FALSE) == XML_STATUS_OK;
    body.remove_prefix(piece);
  } while (wellFormed && !body.empty());
  return reader.Take(wellFormed);
}

}  // namespace morvane
