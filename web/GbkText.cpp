// Conversions between UTF-8 and the program's code page, GBK (code page 936).
//
// The code page is read once from iconv's "CP936" into two tables, after which a conversion
// is a table look-up a character: no iconv state is shared between threads, and the rules
// for bytes that are not valid text are our own and exact:
// - GBK to UTF-8: a lead byte (81..FE) with a byte from 40..FE after it is one character;
//   when that pair is unassigned it becomes one U+FFFD. A lead byte without such a second
//   byte, and the byte FF, become U+FFFD on their own, and the byte after a lone lead byte
//   is read again, so an ASCII byte is never swallowed.
// - UTF-8 to GBK: every maximal ill-formed subsequence (as Unicode recommends) is one U+FFFD,
//   which GBK cannot hold; a character GBK cannot hold becomes "?".

#include <iconv.h>

#include <array>
#include <cstdint>
#include <memory>

#include "web/Text.h"

namespace morvane {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr unsigned kFirstLead = 0x81, kLastLead = 0xFE, kFirstTrail = 0x40, kLastTrail = 0xFE;
constexpr unsigned kTrailCount = 0x100 - kFirstTrail;

struct GbkTables {
  // The BMP character of lead/trail byte pair, 0 when the pair is unassigned.
  std::array<char16_t, (kLastLead - kFirstLead + 1) * kTrailCount> pairs{};
  // The GBK code of a BMP character: a byte pair as lead * 256 + trail, a single byte as its
  // value; 0 when GBK cannot hold the character.
  std::array<std::uint16_t, 0x10000> codes{};
  char16_t euro = 0;  // the character of the single byte 0x80
};

struct IconvCloser {
  void operator()(void* handle) const { iconv_close(static_cast<iconv_t>(handle)); }
};

// One character (or nothing) of the code page's bytes.
char32_t DecodeWithIconv(iconv_t decoder, const char* bytes, std::size_t length) {
  char in[2] = {bytes[0], length > 1 ? bytes[1] : '\0'};
  char* inPtr = in;
  std::size_t inLeft = length;
  char32_t out[2] = {0, 0};
  char* outPtr = reinterpret_cast<char*>(out);
  std::size_t outLeft = sizeof out;
  iconv(decoder, nullptr, nullptr, nullptr, nullptr);
  if (iconv(decoder, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) ||
      inLeft != 0 || outLeft != sizeof out - sizeof(char32_t))
    return 0;
  return out[0];
}

std::unique_ptr<GbkTables> BuildTables() {
  auto tables = std::make_unique<GbkTables>();
  const iconv_t decoder = iconv_open("UTF-32LE", "CP936");
  if (decoder != reinterpret_cast<iconv_t>(-1)) {
    const std::unique_ptr<void, IconvCloser> closer(decoder);
    for (unsigned lead = kFirstLead; lead <= kLastLead; ++lead) {
      for (unsigned trail = kFirstTrail; trail <= kLastTrail; ++trail) {
        const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        const char32_t c = DecodeWithIconv(decoder, pair, 2);
        if (c < 0x80 || c > 0xFFFF || c == kReplacement) continue;
        tables->pairs[(lead - kFirstLead) * kTrailCount + (trail - kFirstTrail)] =
            static_cast<char16_t>(c);
        // Should two pairs ever share a character, the first one is the one written.
        if (tables->codes[c] == 0) tables->codes[c] = static_cast<std::uint16_t>(lead << 8 | trail);
      }
    }
    const char euroByte = '\x80';
    const char32_t euro = DecodeWithIconv(decoder, &euroByte, 1);
    tables->euro = (euro >= 0x80 && euro <= 0xFFFF) ? static_cast<char16_t>(euro) : u'\u20AC';
  } else {
    tables->euro = u'\u20AC';  // without the code page only ASCII and the euro sign convert
  }
  if (tables->codes[tables->euro] == 0) tables->codes[tables->euro] = 0x80;
  return tables;
}

const GbkTables& Tables() {
  static const std::unique_ptr<GbkTables> tables = BuildTables();
  return *tables;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Decodes the UTF-8 character at `i` and moves `i` past it; an ill-formed sequence gives
// U+FFFD and moves past its longest well-formed beginning (at least one byte).
char32_t NextUtf8(std::string_view bytes, std::size_t& i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char first = at(i++);
  if (first < 0x80) return first;
  unsigned count;                         // continuation bytes
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  char32_t c;
  if (first >= 0xC2 && first <= 0xDF) {
    count = 1, c = first & 0x1F;
  } else if (first >= 0xE0 && first <= 0xEF) {
    count = 2, c = first & 0x0F;
    if (first == 0xE0) low = 0xA0;
    if (first == 0xED) high = 0x9F;  // no surrogates
  } else if (first >= 0xF0 && first <= 0xF4) {
    count = 3, c = first & 0x07;
    if (first == 0xF0) low = 0x90;
    if (first == 0xF4) high = 0x8F;
  } else {
    return kReplacement;
  }
  for (unsigned k = 0; k < count; ++k) {
    if (i >= bytes.size()) return kReplacement;
    const unsigned char next = at(i);
    if (next < (k == 0 ? low : 0x80) || next > (k == 0 ? high : 0xBF)) return kReplacement;
    c = (c << 6) | (next & 0x3F);
    ++i;
  }
  return c;
}

}  // namespace

std::string LocalToUtf8(std::string_view local) {
  const GbkTables& tables = Tables();
  std::string utf8;
  utf8.reserve(local.size() + local.size() / 2);
  for (std::size_t i = 0; i < local.size();) {
    const auto lead = static_cast<unsigned char>(local[i]);
    if (lead < 0x80) {
      utf8.push_back(local[i++]);
      continue;
    }
    char32_t c = kReplacement;
    if (lead == 0x80) {
      c = tables.euro, ++i;
    } else if (lead <= kLastLead && i + 1 < local.size() &&
               static_cast<unsigned char>(local[i + 1]) >= kFirstTrail &&
               static_cast<unsigned char>(local[i + 1]) <= kLastTrail && local[i + 1] != '\x7F') {
      const auto trail = static_cast<unsigned char>(local[i + 1]);
      const char16_t assigned =
          tables.pairs[(lead - kFirstLead) * kTrailCount + (trail - kFirstTrail)];
      if (assigned != 0) c = assigned;
      i += 2;
    } else {
      ++i;
    }
    AppendUtf8(utf8, c);
  }
  return utf8;
}

std::string Utf8ToLocal(std::string_view utf8) {
  const GbkTables& tables = Tables();
  std::string local;
  local.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto first = static_cast<unsigned char>(utf8[i]);
    if (first < 0x80) {
      local.push_back(utf8[i++]);
      continue;
    }
    const char32_t c = NextUtf8(utf8, i);
    const std::uint16_t code = c <= 0xFFFF ? tables.codes[c] : 0;
    if (code == 0) {
      local.push_back('?');
    } else if (code < 0x100) {
      local.push_back(static_cast<char>(code));
    } else {
      local.push_back(static_cast<char>(code >> 8));
      local.push_back(static_cast<char>(code & 0xFF));
    }
  }
  return local;
}

}  // namespace morvane
