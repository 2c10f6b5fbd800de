#pragma once
// Text rules shared by the whole program. Texts are GBK byte strings; positions are
// 1-based byte positions and -1 means "not found". A search never matches starting on the
// second byte of a double-byte character: a byte with the high bit set is stepped over
// together with the byte after it.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

using TextList = std::vector<std::string>;

// First position at or after `start` where `needle` matches, or -1. Case-insensitive
// compares ASCII letters only. Characters are counted from `start` on, so a position inside
// a character is taken as a character start. An empty needle is found at `start` in a
// non-empty text (at 1 for the default start). A start below 1 counts as 1; a start past the
// end finds nothing, not even an empty needle, and so does any search in an empty text.
long long FindText(std::string_view text, std::string_view needle, long long start = 1,
                   bool ignoreCase = false);

// Removes ASCII spaces and GBK ideographic spaces (A1 A1) at both ends, nothing else.
std::string TrimText(std::string_view text);

// Cuts at every occurrence of the separator (case-sensitive). An empty piece between two
// separators stays; the piece after the last separator counts only when not empty; an
// empty text gives no pieces. An empty separator cuts nowhere: the text is the one piece.
TextList SplitText(std::string_view text, std::string_view separator);

// The text between the first left marker at or after `start` and the first right marker
// after it; "" when either is missing. "#引号" in a marker stands for a double quote.
std::string TextBetween(std::string_view source, std::string_view left, std::string_view right,
                        long long start = 1, bool caseSensitive = false);

// The text after the first ":", trimmed; "" without a ":".
std::string AfterColon(std::string_view text);

struct ExtractOptions {
  bool caseSensitive = false;
  std::size_t maximumLength = 0;  // 0: no limit
  std::string prefix;
  std::string suffix;
  bool includeLeft = false;
  bool includeRight = false;
  long long start = 1;
};

// Every trimmed value between the markers, in order, until a marker is missing or a value
// is empty (or longer than the maximum length).
TextList ExtractAll(std::string_view source, std::string_view left, std::string_view right,
                    const ExtractOptions& options = {});

// ASCII letters lower-cased, every other byte as it is: for names and headers that compare
// without regard to case (hosts, schemes, header values), never for GBK text.
std::string AsciiLower(std::string_view text);

// A byte as two upper-case hex digits, appended to `out`: the spelling that percent-escapes
// and the stored addresses share.
inline void AppendHexByte(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.push_back(kHex[byte >> 4]);
  out.push_back(kHex[byte & 0x0F]);
}

// `bytes` with every byte for which `escape(byte)` holds written as %XX. Each kind of
// address decides which bytes it escapes; this is the one place that writes the escapes.
template <typename EscapeByte>
std::string PercentEscape(std::string_view bytes, EscapeByte escape) {
  std::string escaped;
  escaped.reserve(bytes.size());
  for (const char ch : bytes) {
    const auto byte = static_cast<unsigned char>(ch);
    if (escape(byte)) {
      escaped.push_back('%');
      AppendHexByte(escaped, byte);
    } else {
      escaped.push_back(ch);
    }
  }
  return escaped;
}

// Percent-encoding. With keepUnreserved, "-", ".", digits and ASCII letters stay; every
// other byte becomes %XX (upper case). With viaUtf8 the GBK text is converted to UTF-8
// first.
std::string PercentEncode(std::string_view text, bool keepUnreserved, bool viaUtf8);

// Text made safe inside HTML or XML, between tags and in a quoted attribute: "&", "<", ">"
// and '"' become entities.
std::string MarkupEscape(std::string_view text);

// A link as the player service takes it: PercentEncode(link, true, false) with "%5F" put
// back to "_".
std::string EncodePlayerLink(std::string_view link);

// Code page conversions between UTF-8 and GBK (code page 936, where 0x80 is the euro sign).
// A character that GBK cannot hold becomes "?"; invalid UTF-8 or GBK input becomes
// replacement characters, never a truncated text.
std::string Utf8ToLocal(std::string_view utf8);
std::string LocalToUtf8(std::string_view local);

// A UTF-8 literal of the sources as the program's GBK text: Gbk("信息：").
inline std::string Gbk(std::string_view utf8) { return Utf8ToLocal(utf8); }

}  // namespace morvane
