// The search, trim, split and cut-out rules over GBK texts.
//
// Every search here is the one of FindText: a match may only start where a character
// starts, counting characters from the scan's start position (a byte with the high bit set
// takes the byte after it along). Checking that for every byte would cost a branch a byte,
// so candidates are found a block at a time and only a full match is checked: the byte in
// front of a byte below 0x80 always ends a character, so a candidate is a character start
// exactly when the run of high-bit bytes in front of it has even length. The run is never
// read back past the last position known to start a character, which keeps a search linear.
//
// The scrapers search a whole result page for each field, so the block test is the hot loop
// of a search: it looks at two bytes of the needle for every position, 32 or 64 positions a
// step where the processor has AVX2 (checked once at run time), else 16. The two bytes are
// the needle's rarest ones in a result page, so that markup that merely starts and ends like
// the needle ("<" ... ">") seldom gets as far as the full comparison.

#include "web/Text.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(MORVANE_TEXT_WITHOUT_AVX2)
#define MORVANE_TEXT_AVX2 1
#include <immintrin.h>
#endif

namespace morvane {

namespace {

using Byte = unsigned char;

constexpr Byte Fold(Byte c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<Byte>(c | 0x20) : c;
}
constexpr bool IsLetter(Byte c) {
  return Fold(c) >= 'a' && Fold(c) <= 'z';
}

// Whether `candidate` starts a character, given that `known` (<= candidate) does.
bool StartsCharacter(const Byte* bytes, std::size_t known, std::size_t candidate) {
  std::size_t runStart = candidate;
  while (runStart > known && bytes[runStart - 1] >= 0x80) --runStart;
  return (candidate - runStart) % 2 == 0;
}

#if defined(__SSE2__)
// Fold() on sixteen bytes: upper-case letters get bit 0x20.
__m128i Fold16(__m128i bytes) {
  // Moved so that "A".."Z" are the 26 smallest signed byte values.
  const __m128i moved = _mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x80 - 'A')));
  const __m128i upper = _mm_cmplt_epi8(moved, _mm_set1_epi8(static_cast<char>(0x80 + 26)));
  return _mm_or_si128(bytes, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
}
#endif

// Every match found is compared whole, and markers are often tens of bytes long.
bool EqualIgnoringCase(const Byte* a, const Byte* b, std::size_t length) {
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= length; i += 16) {
    const __m128i x = Fold16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
    const __m128i y = Fold16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)) != 0xFFFF) return false;
  }
#endif
  for (; i < length; ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

// About how many of ten thousand bytes of a result page (markup, links, English and GBK
// text) are `c`; a letter counts in both cases, since it is looked for in both. Only the
// order matters: it picks the needle bytes that rule out most positions.
constexpr int Commonness(Byte c) {
  constexpr int kLetters[26] = {280, 60,  160, 150, 350, 80,  70,  150, 250, 10, 30, 170, 110,
                                210, 220, 120, 5,   220, 250, 300, 100, 60,  50, 20, 40,  5};
  if (c >= 0x80) return 50;  // GBK bytes, spread over some hundred values
  if (IsLetter(c)) return kLetters[Fold(c) - 'a'];
  if (c >= '0' && c <= '9') return 40;
  switch (c) {
    case ' ':
      return 1000;
    case '<':
    case '>':
    case '"':
    case '=':
    case '/':
      return 250;
    case '\n':
      return 100;
    case '.':
      return 60;
    case '\t':
    case '\r':
    case '-':
    case ':':
      return 30;
    default:
      return 10;
  }
}

// A needle byte that every match has at `offset`: the text's byte with `caseBit` set equals
// `wanted` (a letter's lower case, else the byte itself with no bit set).
struct Probe {
  std::size_t offset = 0;
  Byte wanted = 0;
  Byte caseBit = 0;
};

struct Probes {
  Probe first, second;
};

bool ProbesMatch(const Byte* at, const Probes& p) {
  return (at[p.first.offset] | p.first.caseBit) == p.first.wanted &&
         (at[p.second.offset] | p.second.caseBit) == p.second.wanted;
}

// The first position in [from, last] where both probes match, or a position past `last`.
// Every block test reads only bytes of the positions up to `last` plus the needle's length.
using ProbeScan = std::size_t (*)(const Byte* bytes, std::size_t from, std::size_t last,
                                  const Probes& p);

std::size_t ScanBytes(const Byte* bytes, std::size_t from, std::size_t last, const Probes& p) {
  for (; from <= last; ++from)
    if (ProbesMatch(bytes + from, p)) return from;
  return from;
}

#if defined(__SSE2__)
unsigned ProbeHits16(const Byte* at, const Probes& p) {
  const __m128i first =
      _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + p.first.offset)),
                   _mm_set1_epi8(static_cast<char>(p.first.caseBit)));
  const __m128i second =
      _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + p.second.offset)),
                   _mm_set1_epi8(static_cast<char>(p.second.caseBit)));
  return static_cast<unsigned>(_mm_movemask_epi8(
      _mm_and_si128(_mm_cmpeq_epi8(first, _mm_set1_epi8(static_cast<char>(p.first.wanted))),
                    _mm_cmpeq_epi8(second, _mm_set1_epi8(static_cast<char>(p.second.wanted))))));
}

std::size_t ScanSse2(const Byte* bytes, std::size_t from, std::size_t last, const Probes& p) {
  if (from > last) return from;
  if (last < 15) return ScanBytes(bytes, from, last, p);
  for (; from + 15 <= last; from += 16)
    if (const unsigned hits = ProbeHits16(bytes + from, p))
      return from + static_cast<std::size_t>(__builtin_ctz(hits));
  if (from > last) return from;
  // Fewer than 16 positions are left: test the last 16 and drop those before `from`.
  const std::size_t block = last - 15;
  const unsigned hits = ProbeHits16(bytes + block, p) >> (from - block);
  return hits ? from + static_cast<std::size_t>(__builtin_ctz(hits)) : last + 1;
}
#endif

#if defined(MORVANE_TEXT_AVX2)
__attribute__((target("avx2"))) inline std::uint32_t ProbeHits32(const Byte* at, const Probes& p) {
  const __m256i first =
      _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + p.first.offset)),
                      _mm256_set1_epi8(static_cast<char>(p.first.caseBit)));
  const __m256i second =
      _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + p.second.offset)),
                      _mm256_set1_epi8(static_cast<char>(p.second.caseBit)));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(
      _mm256_cmpeq_epi8(first, _mm256_set1_epi8(static_cast<char>(p.first.wanted))),
      _mm256_cmpeq_epi8(second, _mm256_set1_epi8(static_cast<char>(p.second.wanted))))));
}

__attribute__((target("avx2"))) std::size_t ScanAvx2(const Byte* bytes, std::size_t from,
                                                     std::size_t last, const Probes& p) {
  if (from > last) return from;
  if (last < 31) return ScanSse2(bytes, from, last, p);
  for (; from + 63 <= last; from += 64) {
    const std::uint64_t hits =
        ProbeHits32(bytes + from, p) | std::uint64_t{ProbeHits32(bytes + from + 32, p)} << 32;
    if (hits) return from + static_cast<std::size_t>(__builtin_ctzll(hits));
  }
  if (from > last) return from;
  if (from + 31 <= last) {
    if (const std::uint32_t hits = ProbeHits32(bytes + from, p))
      return from + static_cast<std::size_t>(__builtin_ctz(hits));
    from += 32;
    if (from > last) return from;
  }
  // Fewer than 32 positions are left: test the last 32 and drop those before `from`.
  const std::size_t block = last - 31;
  const std::uint32_t hits = ProbeHits32(bytes + block, p) >> (from - block);
  return hits ? from + static_cast<std::size_t>(__builtin_ctz(hits)) : last + 1;
}
#endif

ProbeScan ChooseProbeScan() {
#if defined(MORVANE_TEXT_AVX2)
  // A search may run from a static initializer, before the processor's features are read.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return ScanAvx2;
#endif
#if defined(__SSE2__)
  return ScanSse2;
#else
  return ScanBytes;
#endif
}

// A needle made ready once for any number of searches (ExtractAll looks for the same two
// markers some thousand times in a page).
class Needle {
 public:
  Needle(std::string_view needle, bool ignoreCase)
      : needle_(needle), ignoreCase_(ignoreCase && HasLetter(needle)) {
    static const ProbeScan chosen = ChooseProbeScan();
    scan_ = chosen;
    if (needle.empty()) return;
    if (needle.size() == 1) {
      probes_ = {MakeProbe(0), MakeProbe(0)};
      return;
    }
    std::size_t first = 0;
    for (std::size_t i = 1; i < needle.size(); ++i)
      if (Commonness(ByteAt(i)) < Commonness(ByteAt(first))) first = i;
    // The second probe: next rarest, and of those the farthest from the first one, whose
    // neighbours tell less about it.
    std::size_t second = first == 0 ? 1 : 0;
    const auto distance = [&](std::size_t i) { return i > first ? i - first : first - i; };
    for (std::size_t i = 0; i < needle.size(); ++i) {
      if (i == first) continue;
      const int common = Commonness(ByteAt(i)), best = Commonness(ByteAt(second));
      if (common < best || (common == best && distance(i) > distance(second))) second = i;
    }
    probes_ = {MakeProbe(first), MakeProbe(second)};
  }

  // Zero-based position at or after `from`; npos when missing.
  std::size_t FindIn(std::string_view text, std::size_t from) const {
    if (from >= text.size()) return std::string_view::npos;
    if (needle_.empty()) return from;
    if (needle_.size() > text.size() - from) return std::string_view::npos;
    const Byte* bytes = reinterpret_cast<const Byte*>(text.data());
    return needle_.size() == 1 && !ignoreCase_ ? FindByte(bytes, text.size(), from)
                                               : FindProbed(bytes, text.size(), from);
  }

 private:
  static bool HasLetter(std::string_view text) {
    for (const char c : text)
      if (IsLetter(static_cast<Byte>(c))) return true;
    return false;
  }

  Byte ByteAt(std::size_t i) const { return static_cast<Byte>(needle_[i]); }

  Probe MakeProbe(std::size_t offset) const {
    const Byte c = ByteAt(offset);
    const bool folded = ignoreCase_ && IsLetter(c);
    return {offset, folded ? Fold(c) : c, static_cast<Byte>(folded ? 0x20 : 0)};
  }

  bool Equal(const Byte* at) const {
    const Byte* pattern = reinterpret_cast<const Byte*>(needle_.data());
    return ignoreCase_ ? EqualIgnoringCase(at, pattern, needle_.size())
                       : std::memcmp(at, pattern, needle_.size()) == 0;
  }

  std::size_t FindByte(const Byte* bytes, std::size_t size, std::size_t from) const {
    std::size_t known = from;
    while (from < size) {
      const void* hit = std::memchr(bytes + from, ByteAt(0), size - from);
      if (!hit) break;
      const std::size_t candidate = static_cast<const Byte*>(hit) - bytes;
      if (StartsCharacter(bytes, known, candidate)) return candidate;
      // The candidate is the second byte of a character, so the next one starts after it.
      known = from = candidate + 1;
    }
    return std::string_view::npos;
  }

  std::size_t FindProbed(const Byte* bytes, std::size_t size, std::size_t from) const {
    const std::size_t last = size - needle_.size();  // the last position where a match fits
    std::size_t known = from;
    for (std::size_t candidate = from;; ++candidate) {
      candidate = scan_(bytes, candidate, last, probes_);
      if (candidate > last) return std::string_view::npos;
      if (!Equal(bytes + candidate)) continue;
      if (StartsCharacter(bytes, known, candidate)) return candidate;
      known = candidate + 1;
    }
  }

  std::string_view needle_;
  bool ignoreCase_;  // and the needle has a letter: otherwise case changes nothing
  ProbeScan scan_;
  Probes probes_;
};

// FindText with zero-based positions; npos when missing.
std::size_t Find(std::string_view text, std::string_view needle, std::size_t from,
                 bool ignoreCase) {
  return Needle(needle, ignoreCase).FindIn(text, from);
}

std::size_t ZeroBased(long long start) {
  return start < 1 ? 0 : static_cast<std::size_t>(start - 1);
}

bool IsSpaceAt(std::string_view text, std::size_t i, std::size_t* length) {
  if (text[i] == ' ') return *length = 1, true;
  if (static_cast<Byte>(text[i]) == 0xA1 && i + 1 < text.size() &&
      static_cast<Byte>(text[i + 1]) == 0xA1)
    return *length = 2, true;
  return false;
}

// The text without its spaces at both ends (TrimText). Characters are counted from the
// front, so that an A1 A1 at the end is only taken for a space when it really is one
// character and not the tail of another. The walk for the end starts near it, not at the
// front: a value between markers is cut out for every result of a page.
std::string_view Trimmed(std::string_view text) {
  std::size_t begin = 0, length = 0;
  while (begin < text.size() && IsSpaceAt(text, begin, &length)) begin += length;
  // The last byte that can belong to no space lies in the last character that is not one
  // (as a trail byte it cannot finish an A1 A1 either). The character it is in starts at
  // or after the start of its run of high-bit bytes, which is a character start (see
  // StartsCharacter), and the run's pairs say which.
  std::size_t from = begin;
  std::size_t last = text.size();
  while (last > begin && (text[last - 1] == ' ' || static_cast<Byte>(text[last - 1]) == 0xA1))
    --last;
  if (last > begin) {
    std::size_t runStart = --last;
    while (runStart > begin && static_cast<Byte>(text[runStart - 1]) >= 0x80) --runStart;
    from = (last - runStart) % 2 == 0 ? last : last - 1;
  }
  std::size_t end = begin;  // end of the last character that is not a space
  for (std::size_t i = from; i < text.size();) {
    if (IsSpaceAt(text, i, &length)) {
      i += length;
      continue;
    }
    i += (static_cast<Byte>(text[i]) >= 0x80 && i + 1 < text.size()) ? 2 : 1;
    end = i;
  }
  return text.substr(begin, end - begin);
}

// "#引号" in the code page's bytes.
constexpr std::string_view kQuotePlaceholder = "#\xD2\xFD\xBA\xC5";

std::string ReplaceQuotePlaceholder(std::string_view marker) {
  std::string result;
  std::size_t from = 0;
  for (std::size_t at; (at = Find(marker, kQuotePlaceholder, from, false)) != marker.npos;
       from = at + kQuotePlaceholder.size()) {
    result.append(marker.substr(from, at - from));
    result.push_back('"');
  }
  result.append(marker.substr(from));
  return result;
}

}  // namespace

long long FindText(std::string_view text, std::string_view needle, long long start,
                   bool ignoreCase) {
  const std::size_t at = Find(text, needle, ZeroBased(start), ignoreCase);
  return at == std::string_view::npos ? -1 : static_cast<long long>(at) + 1;
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

std::string TrimText(std::string_view text) {
  return std::string(Trimmed(text));
}

TextList SplitText(std::string_view text, std::string_view separator) {
  TextList pieces;
  if (text.empty()) return pieces;
  if (separator.empty()) return {std::string(text)};
  std::size_t from = 0;
  for (std::size_t at; (at = Find(text, separator, from, false)) != text.npos;
       from = at + separator.size())
    pieces.emplace_back(text.substr(from, at - from));
  if (from < text.size()) pieces.emplace_back(text.substr(from));
  return pieces;
}

std::string TextBetween(std::string_view source, std::string_view left, std::string_view right,
                        long long start, bool caseSensitive) {
  const std::string leftMarker = ReplaceQuotePlaceholder(left);
  const std::string rightMarker = ReplaceQuotePlaceholder(right);
  const std::size_t leftAt = Find(source, leftMarker, ZeroBased(start), !caseSensitive);
  if (leftAt == source.npos) return "";
  const std::size_t valueAt = leftAt + leftMarker.size();
  const std::size_t rightAt = Find(source, rightMarker, valueAt, !caseSensitive);
  if (rightAt == source.npos) return "";
  return std::string(source.substr(valueAt, rightAt - valueAt));
}

std::string AfterColon(std::string_view text) {
  const std::size_t colon = Find(text, ":", 0, false);
  if (colon == text.npos) return "";
  return TrimText(text.substr(colon + 1));
}

TextList ExtractAll(std::string_view source, std::string_view left, std::string_view right,
                    const ExtractOptions& options) {
  TextList entries;
  const Needle leftNeedle(left, !options.caseSensitive);
  const Needle rightNeedle(right, !options.caseSensitive);
  const bool valueOnly = !options.includeLeft && !options.includeRight && options.prefix.empty() &&
                         options.suffix.empty();
  std::size_t position = ZeroBased(options.start);
  for (;;) {
    const std::size_t leftAt = leftNeedle.FindIn(source, position);
    if (leftAt == source.npos) break;
    const std::size_t valueAt = leftAt + left.size();
    const std::size_t rightAt = rightNeedle.FindIn(source, valueAt);
    if (rightAt == source.npos) break;
    const std::string_view value = Trimmed(source.substr(valueAt, rightAt - valueAt));
    if (value.empty()) break;
    if (options.maximumLength != 0 && value.size() > options.maximumLength) break;

    if (valueOnly) {
      entries.emplace_back(value);
    } else {
      std::string entry;
      entry.reserve((options.includeLeft ? left.size() : 0) + options.prefix.size() + value.size() +
                    options.suffix.size() + (options.includeRight ? right.size() : 0));
      if (options.includeLeft) entry.append(left);
      entry.append(options.prefix).append(value).append(options.suffix);
      if (options.includeRight) entry.append(right);
      entries.push_back(std::move(entry));
    }
    // The next left marker is looked for from the right marker on, so a right marker may
    // also be the next left one.
    position = rightAt;
  }
  return entries;
}

}  // namespace morvane
